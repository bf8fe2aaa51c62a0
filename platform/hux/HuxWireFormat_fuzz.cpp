// Feeds arbitrary bytes to every decoder of bus payloads; whatever decodes must encode again.
// Seeds: platform/hux/fuzz-seeds/ (a variant, a request, a reply and a presence message).
#include <cstddef>
#include <cstdint>

#include "platform/hux/HuxWireFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    std::string why, again;
    CComVariant value;
    if (HuxWireFormat::decodeVariant(text, size, &value, why) && !HuxWireFormat::encodeVariant(value, again, why))
        __builtin_trap();
    HuxRequestMessage request;
    HuxWireFormat::decodeRequest(text, size, request, why);
    HuxReplyMessage reply;
    HuxWireFormat::decodeReply(text, size, reply, why);
    std::vector<std::string> services;
    HuxWireFormat::decodePresence(text, size, services, why);
    return 0;
}
