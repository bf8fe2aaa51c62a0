// Variants to and from their JSON form (the forms are listed in HuxWireFormat.h). Used by the
// wire format only; other code goes through HuxWireFormat.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "platform/com/Variant.h"

class HuxVariantJson {
public:
    // Keys keep their order, so that "vt" comes before "v" in what mosquitto_sub shows.
    using Json = nlohmann::ordered_json;

    // False with the reason for a value the wire cannot carry or nesting past the limit.
    static bool toJson(const VARIANT& value, Json& out, std::string& why);
    // Clears out first; false with the reason leaves it empty.
    static bool fromJson(const Json& json, VARIANT* out, std::string& why);

    // The wire's name of a scalar type code ("I4"), nullptr for one it does not carry.
    static const char* scalarName(VARTYPE vt);
    static bool scalarFromName(const std::string& name, VARTYPE& vt);
    // An integer JSON value within [lo, hi].
    static bool readInt(const Json& json, long long lo, long long hi, long long& v);
};
