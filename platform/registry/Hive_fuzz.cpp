// Reads arbitrary bytes as a hive file, then writes what was read and reads that again: the
// second reading must succeed and give the same text back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/registry/Hive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Hive hive(L"HKEY_LOCAL_MACHINE");
    hive.parse(std::string(reinterpret_cast<const char*>(data), size));
    std::string text = hive.serialize();
    Hive again(L"HKEY_LOCAL_MACHINE");
    if (!again.parse(text) || again.serialize() != text) std::abort();
    return 0;
}
