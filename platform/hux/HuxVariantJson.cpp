#include "platform/hux/HuxVariantJson.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "platform/hux/HuxWireFormat.h"

using Json = HuxVariantJson::Json;

namespace {

// Every type code the wire carries; VARIANT only as the element type of an array.
struct TypeName {
    VARTYPE vt;
    const char* name;
};
constexpr TypeName kTypes[] = {
    {VT_EMPTY, "EMPTY"}, {VT_NULL, "NULL"}, {VT_I1, "I1"},     {VT_UI1, "UI1"},     {VT_I2, "I2"},
    {VT_UI2, "UI2"},     {VT_I4, "I4"},     {VT_UI4, "UI4"},   {VT_INT, "INT"},     {VT_UINT, "UINT"},
    {VT_I8, "I8"},       {VT_UI8, "UI8"},   {VT_CY, "CY"},     {VT_ERROR, "ERROR"}, {VT_R4, "R4"},
    {VT_R8, "R8"},       {VT_DATE, "DATE"}, {VT_BOOL, "BOOL"}, {VT_BSTR, "BSTR"},   {VT_VARIANT, "VARIANT"},
};

const char* scalarName(VARTYPE vt) {
    for (const auto& t : kTypes)
        if (t.vt == vt) return t.name;
    return nullptr;
}

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const unsigned char* p, size_t n) {
    std::string out;
    out.reserve((n + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < n; i += 3) {
        unsigned v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        out += kB64[v >> 18];
        out += kB64[(v >> 12) & 63];
        out += kB64[(v >> 6) & 63];
        out += kB64[v & 63];
    }
    if (i < n) {
        unsigned v = p[i] << 16;
        if (i + 1 < n) v |= p[i + 1] << 8;
        out += kB64[v >> 18];
        out += kB64[(v >> 12) & 63];
        out += (i + 1 < n) ? kB64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

int b64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool unbase64(const std::string& s, std::string& out) {
    if (s.size() % 4 != 0) return false;
    out.clear();
    out.reserve(s.size() / 4 * 3);
    for (size_t i = 0; i < s.size(); i += 4) {
        bool last = i + 4 == s.size();
        int pad = last ? (s[i + 3] == '=') + (s[i + 2] == '=' && s[i + 3] == '=') : 0;
        int v[4];
        for (int k = 0; k < 4 - pad; ++k) {
            v[k] = b64Value(s[i + k]);
            if (v[k] < 0) return false;
        }
        unsigned bits = (v[0] << 18) | (v[1] << 12) | ((pad < 2 ? v[2] : 0) << 6) | (pad < 1 ? v[3] : 0);
        out += char(bits >> 16);
        if (pad < 2) out += char((bits >> 8) & 0xFF);
        if (pad < 1) out += char(bits & 0xFF);
    }
    return true;
}

Json floatToJson(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
    return d;
}

bool floatFromJson(const Json& j, double& d) {
    if (j.is_number()) {
        d = j.get<double>();
        return true;
    }
    if (!j.is_string()) return false;
    const auto& s = j.get_ref<const std::string&>();
    if (s == "NaN")
        d = std::numeric_limits<double>::quiet_NaN();
    else if (s == "Infinity")
        d = std::numeric_limits<double>::infinity();
    else if (s == "-Infinity")
        d = -std::numeric_limits<double>::infinity();
    else
        return false;
    return true;
}

template <class T>
T load(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
void store(void* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// Reads an integer JSON value into [lo, hi].
bool intFromJson(const Json& j, long long lo, long long hi, long long& v) {
    if (j.is_number_unsigned()) {
        auto u = j.get<unsigned long long>();
        if (u > static_cast<unsigned long long>(hi)) return false;
        v = static_cast<long long>(u);
        return true;
    }
    if (!j.is_number_integer()) return false;
    v = j.get<long long>();
    return v >= lo && v <= hi;
}

class Encoder {
public:
    std::string why;

    bool variant(const VARIANT& v, Json& out, int depth) {
        VARTYPE vt = v.vt;
        if (vt & VT_ARRAY) return array(vt & VT_TYPEMASK, v.parray, out, depth);
        const char* name = (vt == VT_VARIANT) ? nullptr : scalarName(vt);
        if (!name) return fail("type code " + std::to_string(vt) + " cannot travel on the bus");
        out = Json::object();
        out["vt"] = name;
        if (vt == VT_EMPTY || vt == VT_NULL) return true;
        return scalar(vt, &v.llVal, out["v"]);
    }

private:
    bool fail(std::string reason) {
        why = std::move(reason);
        return false;
    }

    bool scalar(VARTYPE vt, const void* p, Json& out) {
        switch (vt) {
            case VT_I1:
                out = load<int8_t>(p);
                return true;
            case VT_UI1:
                out = load<uint8_t>(p);
                return true;
            case VT_I2:
                out = load<int16_t>(p);
                return true;
            case VT_UI2:
                out = load<uint16_t>(p);
                return true;
            case VT_I4:
            case VT_INT:
            case VT_ERROR:
                out = load<int32_t>(p);
                return true;
            case VT_UI4:
            case VT_UINT:
                out = load<uint32_t>(p);
                return true;
            case VT_I8:
            case VT_CY:
                out = load<int64_t>(p);
                return true;
            case VT_UI8:
                out = load<uint64_t>(p);
                return true;
            case VT_R4:
                out = floatToJson(load<float>(p));
                return true;
            case VT_R8:
            case VT_DATE:
                out = floatToJson(load<double>(p));
                return true;
            case VT_BOOL:
                out = load<VARIANT_BOOL>(p) != 0;
                return true;
            case VT_BSTR: {
                BSTR s = load<BSTR>(p);
                out = HuxWireFormat::toUtf8(s ? s : L"", s ? SysStringLen(s) : 0);
                return true;
            }
            default:
                return fail("type code " + std::to_string(vt) + " cannot travel on the bus");
        }
    }

    bool array(VARTYPE elem, const SAFEARRAY* psa, Json& out, int depth) {
        const char* name = scalarName(elem);
        if (!name || elem == VT_EMPTY || elem == VT_NULL)
            return fail("array type code " + std::to_string(elem | VT_ARRAY) + " cannot travel on the bus");
        if (depth >= HuxWireFormat::kMaxDepth)
            return fail("arrays nested deeper than " + std::to_string(HuxWireFormat::kMaxDepth));
        // A receiver could not tell a missing array from an empty one, nor read elements that do
        // not start at index 0 the way every argument reader does: neither travels.
        if (!psa) return fail("an array variant without an array cannot travel on the bus");
        if (psa->cDims != 1) return fail("only one-dimensional arrays can travel on the bus");
        if (psa->rgsabound[0].lLbound != 0) return fail("arrays must start at index 0 to travel on the bus");
        out = Json::object();
        out["vt"] = std::string("ARRAY|") + name;
        if (psa->vt != elem) return fail("array holds other elements than its type code says");
        ULONG n = psa->rgsabound[0].cElements;
        const auto* base = static_cast<const unsigned char*>(psa->pvData);
        if (n > 0 && !base) return fail("array without data");
        if (elem == VT_UI1) {
            out["v"] = base64(base, n);
        } else {
            Json items = Json::array();
            for (ULONG i = 0; i < n; ++i) {
                const void* p = base + size_t(i) * psa->cbElements;
                Json item;
                bool ok = elem == VT_VARIANT ? variant(*static_cast<const VARIANT*>(p), item, depth + 1)
                                             : scalar(elem, p, item);
                if (!ok) return false;
                items.push_back(std::move(item));
            }
            out["v"] = std::move(items);
        }
        return true;
    }
};

class Decoder {
public:
    std::string why;

    // Builds v (which the caller has initialised); on failure v may hold a partial value that
    // the caller clears.
    bool variant(const Json& j, VARIANT& v, int depth) {
        if (!j.is_object()) return fail("a variant must be a JSON object");
        auto vtIt = j.find("vt");
        if (vtIt == j.end()) return fail("variant without \"vt\"");
        VARTYPE vt;
        if (vtIt->is_string()) {
            if (!HuxWireFormat::typeFromName(vtIt->get_ref<const std::string&>(), vt))
                return fail("unknown type \"" + vtIt->get<std::string>() + "\"");
        } else {
            long long code;
            if (!intFromJson(*vtIt, 0, 0xFFFF, code)) return fail("\"vt\" must be a type name or code");
            vt = static_cast<VARTYPE>(code);
            if (HuxWireFormat::typeName(vt).empty()) return fail("unknown type code " + std::to_string(code));
        }
        auto vIt = j.find("v");
        if (vt == VT_EMPTY || vt == VT_NULL) {
            v.vt = vt;
            return true;
        }
        if (vIt == j.end()) return fail(HuxWireFormat::typeName(vt) + " without \"v\"");
        if (vt & VT_ARRAY) return array(vt & VT_TYPEMASK, *vIt, j, v, depth);
        if (!scalar(vt, *vIt, &v.llVal)) return false;
        v.vt = vt;
        return true;
    }

private:
    bool fail(std::string reason) {
        why = std::move(reason);
        return false;
    }

    bool badValue(VARTYPE vt) { return fail("bad value for " + HuxWireFormat::typeName(vt)); }

    template <class T>
    bool integer(const Json& j, void* p, VARTYPE vt) {
        long long v;
        if (!intFromJson(j, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), v))
            return badValue(vt);
        store<T>(p, static_cast<T>(v));
        return true;
    }

    // Writes the value into p, the storage of one element of type vt.
    bool scalar(VARTYPE vt, const Json& j, void* p) {
        switch (vt) {
            case VT_I1:
                return integer<int8_t>(j, p, vt);
            case VT_UI1:
                return integer<uint8_t>(j, p, vt);
            case VT_I2:
                return integer<int16_t>(j, p, vt);
            case VT_UI2:
                return integer<uint16_t>(j, p, vt);
            case VT_I4:
            case VT_INT:
            case VT_ERROR:
                return integer<int32_t>(j, p, vt);
            case VT_UI4:
            case VT_UINT:
                return integer<uint32_t>(j, p, vt);
            case VT_I8:
            case VT_CY:
                return integer<int64_t>(j, p, vt);
            case VT_UI8:
                if (!j.is_number_unsigned() && !(j.is_number_integer() && j.get<long long>() >= 0))
                    return badValue(vt);
                store<uint64_t>(p, j.get<uint64_t>());
                return true;
            case VT_R4:
            case VT_R8:
            case VT_DATE: {
                double d;
                if (!floatFromJson(j, d)) return badValue(vt);
                if (vt == VT_R4) {
                    if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
                        return badValue(vt);
                    store<float>(p, static_cast<float>(d));
                } else {
                    store<double>(p, d);
                }
                return true;
            }
            case VT_BOOL:
                if (!j.is_boolean()) return badValue(vt);
                store<VARIANT_BOOL>(p, j.get<bool>() ? VARIANT_TRUE : VARIANT_FALSE);
                return true;
            case VT_BSTR: {
                if (!j.is_string()) return badValue(vt);
                std::wstring text;
                if (!HuxWireFormat::fromUtf8(j.get_ref<const std::string&>(), text))
                    return fail("BSTR is not valid UTF-8");
                BSTR s = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
                if (!s) return fail("out of memory for a BSTR");
                store<BSTR>(p, s);
                return true;
            }
            default:
                return fail("type " + HuxWireFormat::typeName(vt) + " cannot be a scalar");
        }
    }

    bool array(VARTYPE elem, const Json& items, const Json& j, VARIANT& v, int depth) {
        if (elem == VT_EMPTY || elem == VT_NULL) return fail("arrays of EMPTY or NULL do not exist");
        if (depth >= HuxWireFormat::kMaxDepth)
            return fail("arrays nested deeper than " + std::to_string(HuxWireFormat::kMaxDepth));
        // Handlers read arguments from index 0 and take an array variant to hold an array: a
        // shifted or missing array would reach them as something it is not.
        long long lb = 0;
        auto lbIt = j.find("lb");
        if (lbIt != j.end() &&
            (!intFromJson(*lbIt, std::numeric_limits<LONG>::min(), std::numeric_limits<LONG>::max(), lb) ||
             lb != 0))
            return fail("\"lb\" must be 0: arrays start at index 0");
        if (items.is_null())
            return fail(HuxWireFormat::typeName(VT_ARRAY | elem) + " without elements (null)");
        std::string bytes;
        size_t n;
        if (elem == VT_UI1) {
            if (!items.is_string() || !unbase64(items.get_ref<const std::string&>(), bytes))
                return fail("ARRAY|UI1 must be base64 text");
            n = bytes.size();
        } else {
            if (!items.is_array())
                return fail(HuxWireFormat::typeName(VT_ARRAY | elem) + " needs a JSON array");
            n = items.size();
        }
        // The last index must fit in a 32-bit bound.
        if (static_cast<long long>(n) - 1 > std::numeric_limits<LONG>::max())
            return fail("array bounds past the 32-bit range");
        SAFEARRAY* psa = SafeArrayCreateVector(elem, 0, static_cast<ULONG>(n));
        if (!psa) return fail("could not create an array of " + std::to_string(n) + " elements");
        // From here the variant owns the array, so that a failure part-way frees what was built.
        v.vt = VT_ARRAY | elem;
        v.parray = psa;
        auto* base = static_cast<unsigned char*>(psa->pvData);
        if (elem == VT_UI1) {
            if (n) std::memcpy(base, bytes.data(), n);
            return true;
        }
        for (size_t i = 0; i < n; ++i) {
            void* p = base + i * psa->cbElements;
            if (elem == VT_VARIANT) {
                if (!variant(items[i], *static_cast<VARIANT*>(p), depth + 1)) return false;
            } else if (!scalar(elem, items[i], p)) {
                return false;
            }
        }
        return true;
    }
};

}  // namespace

const char* HuxVariantJson::scalarName(VARTYPE vt) {
    return ::scalarName(vt);
}

bool HuxVariantJson::scalarFromName(const std::string& name, VARTYPE& vt) {
    for (const auto& t : kTypes) {
        if (name == t.name) {
            vt = t.vt;
            return true;
        }
    }
    return false;
}

bool HuxVariantJson::readInt(const Json& j, long long lo, long long hi, long long& v) {
    return intFromJson(j, lo, hi, v);
}

bool HuxVariantJson::toJson(const VARIANT& value, Json& out, std::string& why) {
    Encoder e;
    if (e.variant(value, out, 0)) return true;
    why = e.why;
    return false;
}

bool HuxVariantJson::fromJson(const Json& j, VARIANT* out, std::string& why) {
    VariantClear(out);
    Decoder d;
    if (d.variant(j, *out, 0)) return true;
    VariantClear(out);
    why = d.why;
    return false;
}
