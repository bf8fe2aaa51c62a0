// How bus messages travel: JSON text that keeps every variant's type code, so that any MQTT client
// (mosquitto_sub among them) shows readable traffic and the receiver rebuilds the exact variant.
//
//   {"vt":"I4","v":5}                       scalars: EMPTY NULL I1 UI1 I2 UI2 I4 UI4 INT UINT I8 UI8
//   {"vt":"BSTR","v":"text"}                CY ERROR R4 R8 DATE BOOL BSTR; strings are UTF-8
//   {"vt":"R8","v":"NaN"}                   NaN and infinities travel as "NaN", "Infinity", "-Infinity"
//   {"vt":"DATE","v":46000.25}              days since 1899-12-30, the fraction the time of day
//   {"vt":"ARRAY|I4","v":[1,2]}             typed arrays, one dimension, first index 0; an "lb"
//                                           other than 0 and a null "v" are refused
//   {"vt":"ARRAY|UI1","v":"AAEC"}           byte arrays in base64
//   {"vt":"ARRAY|VARIANT","v":[{...},...]}  arrays of variants, nested to kMaxDepth
//
// A request is {"hux":1,"from":CLIENT,"target":T,"service":S,"args":VARIANT}; a reply is
// {"hux":1,"from":CLIENT,"status":N,"reply":VARIANT} with "error":TEXT when the handler threw.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/com/Variant.h"

struct HuxRequestMessage {
    std::string from;
    std::string target;
    std::wstring service;
    CComVariant args;
};

struct HuxReplyMessage {
    std::string from;
    HRESULT status = S_OK;
    CComVariant reply;
    std::string error;
};

class HuxWireFormat {
public:
    // Larger payloads are refused before parsing.
    static constexpr size_t kMaxPayload = 1u << 20;
    // Arrays of variants nested deeper than this are refused, on both sides.
    static constexpr int kMaxDepth = 32;

    // Each encoder answers false with the reason in why when the value cannot travel (an object
    // reference, a multi-dimensional array, nesting past kMaxDepth, an unknown type code).
    static bool encodeVariant(const VARIANT& value, std::string& out, std::string& why);
    static bool encodeRequest(const std::string& from, const std::string& target, const std::wstring& service,
                              const VARIANT& args, std::string& out, std::string& why);
    static bool encodeReply(const std::string& from, HRESULT status, const VARIANT& reply,
                            const std::string& error, std::string& out, std::string& why);

    // Each decoder answers false with the reason in why for anything malformed; out is then
    // left empty.
    static bool decodeVariant(const char* data, size_t len, VARIANT* out, std::string& why);
    static bool decodeRequest(const char* data, size_t len, HuxRequestMessage& out, std::string& why);
    static bool decodeReply(const char* data, size_t len, HuxReplyMessage& out, std::string& why);

    // Presence of a client: {"hux":1,"client":NAME,"services":[...]}. An empty payload means the
    // client left and decodes to no services.
    static std::string encodePresence(const std::string& client, const std::vector<std::string>& services);
    static bool decodePresence(const char* data, size_t len, std::vector<std::string>& services,
                               std::string& why);

    // "I4", "ARRAY|VARIANT", ...; empty for a code the wire does not carry.
    static std::string typeName(VARTYPE vt);
    static bool typeFromName(const std::string& name, VARTYPE& vt);

    // UTF-8 of the full Unicode range. Surrogate pairs (text that came from 16-bit strings) are
    // joined; a lone surrogate or a value past U+10FFFF becomes U+FFFD.
    static std::string toUtf8(const wchar_t* text, size_t len);
    static std::string toUtf8(const std::wstring& text) { return toUtf8(text.data(), text.size()); }
    // Strict: false for any ill-formed, overlong or surrogate sequence.
    static bool fromUtf8(const std::string& bytes, std::wstring& out);
};
