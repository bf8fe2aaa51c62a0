#include "tools/pelmo-bus/BusValueText.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "platform/hux/HuxWireFormat.h"

namespace {

constexpr double kUnixEpochDays = 25569.0;  // 1970-01-01 as a DATE

struct IntType {
    const char* prefix;
    VARTYPE vt;
    long long lo;
    unsigned long long hi;
    size_t size;
};
const IntType kInts[] = {
    {"i1", VT_I1, -128, 127, 1},
    {"ui1", VT_UI1, 0, 255, 1},
    {"i2", VT_I2, -32768, 32767, 2},
    {"ui2", VT_UI2, 0, 65535, 2},
    {"i4", VT_I4, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), 4},
    {"ui4", VT_UI4, 0, std::numeric_limits<uint32_t>::max(), 4},
    {"int", VT_INT, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), 4},
    {"uint", VT_UINT, 0, std::numeric_limits<uint32_t>::max(), 4},
    {"i8", VT_I8, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), 8},
    {"ui8", VT_UI8, 0, std::numeric_limits<uint64_t>::max(), 8},
    {"cy", VT_CY, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), 8},
    // Status codes are usually written in hex: 0x80004005 is taken as its 32-bit pattern.
    {"error", VT_ERROR, std::numeric_limits<int32_t>::min(), std::numeric_limits<uint32_t>::max(), 4},
};

bool parseInteger(const IntType& t, const std::string& s, VARIANT* out, std::string& why) {
    if (s.empty()) {
        why = std::string(t.prefix) + ": needs a number";
        return false;
    }
    char* end = nullptr;
    errno = 0;
    if (t.lo < 0) {
        long long v = std::strtoll(s.c_str(), &end, 0);
        if (*end || errno || v < t.lo || v > static_cast<long long>(t.hi)) {
            why = "\"" + s + "\" is not a " + t.prefix + " value";
            return false;
        }
        std::memcpy(&out->llVal, &v, t.size);  // little-endian: the low bytes come first
    } else {
        if (s[0] == '-') {
            why = "\"" + s + "\" is not a " + t.prefix + " value";
            return false;
        }
        unsigned long long v = std::strtoull(s.c_str(), &end, 0);
        if (*end || errno || v > t.hi) {
            why = "\"" + s + "\" is not a " + t.prefix + " value";
            return false;
        }
        std::memcpy(&out->llVal, &v, t.size);
    }
    out->vt = t.vt;
    return true;
}

bool parseDouble(const std::string& s, double& d) {
    if (s.empty()) return false;
    char* end = nullptr;
    d = std::strtod(s.c_str(), &end);
    return *end == '\0';
}

int daysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// A calendar date (and time) that exists, or a plain number of days; timegm would quietly move
// 2026-02-31 to March 3.
bool parseDate(const std::string& s, double& days) {
    int y, mo, d, h = 0, mi = 0, sec = 0, used = 0;
    bool looksLikeDate = s.size() >= 5 && s[4] == '-';
    if (!looksLikeDate) return parseDouble(s, days);
    if (std::sscanf(s.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &used) != 3 || used != 10) return false;
    if (s.size() > 10) {
        int more = 0;
        if (s.size() != 19 || std::sscanf(s.c_str() + 10, "T%2d:%2d:%2d%n", &h, &mi, &sec, &more) != 3 ||
            more != 9)
            return false;
    }
    if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo) || h < 0 || h > 23 || mi < 0 ||
        mi > 59 || sec < 0 || sec > 59)
        return false;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = sec;
    time_t t = timegm(&tm);
    days = static_cast<double>(t) / 86400.0 + kUnixEpochDays;
    return true;
}

std::string formatDate(double days) {
    if (!std::isfinite(days)) return "date:" + std::to_string(days);
    double secs = std::round((days - kUnixEpochDays) * 86400.0);
    if (std::fabs(secs) > 1e15) return "date:" + std::to_string(days);
    time_t t = static_cast<time_t>(secs);
    std::tm tm{};
    if (!gmtime_r(&t, &tm)) return "date:" + std::to_string(days);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return std::string("date:") + buf;
}

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(c));
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string formatDouble(double d) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", d);
    return buf;
}

std::string formatScalar(VARTYPE vt, const void* p) {
    VARIANT v;
    VariantInit(&v);
    std::memcpy(&v.llVal, p, SafeArrayElementSize(vt));
    switch (vt) {
        case VT_I1:
            return "i1:" + std::to_string(static_cast<int8_t>(v.cVal));
        case VT_UI1:
            return "ui1:" + std::to_string(v.bVal);
        case VT_I2:
            return "i2:" + std::to_string(v.iVal);
        case VT_UI2:
            return "ui2:" + std::to_string(v.uiVal);
        case VT_I4:
            return "i4:" + std::to_string(v.lVal);
        case VT_UI4:
            return "ui4:" + std::to_string(v.ulVal);
        case VT_INT:
            return "int:" + std::to_string(v.intVal);
        case VT_UINT:
            return "uint:" + std::to_string(v.uintVal);
        case VT_I8:
            return "i8:" + std::to_string(v.llVal);
        case VT_UI8:
            return "ui8:" + std::to_string(v.ullVal);
        default:
            break;
    }
    switch (vt) {
        case VT_R4:
            return "r4:" + formatDouble(v.fltVal);
        case VT_R8:
            return "r8:" + formatDouble(v.dblVal);
        case VT_DATE:
            return formatDate(v.date);
        case VT_BOOL:
            return v.boolVal ? "bool:true" : "bool:false";
        case VT_CY:
            return "cy:" + std::to_string(v.llVal);
        case VT_ERROR:
            return "error:0x" + [&] {
                char buf[16];
                std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(v.scode));
                return std::string(buf);
            }();
        case VT_BSTR:
            return "s:" + quoted(v.bstrVal ? HuxWireFormat::toUtf8(v.bstrVal, SysStringLen(v.bstrVal)) : "");
        default:
            return "?vt" + std::to_string(vt);
    }
}

}  // namespace

bool BusValueText::parse(const std::string& text, VARIANT* out, std::string& why) {
    VariantClear(out);
    if (text == "empty") return true;
    if (text == "null") {
        out->vt = VT_NULL;
        return true;
    }
    auto colon = text.find(':');
    if (colon == std::string::npos) {
        why = "\"" + text + "\" has no type (write i4:5, s:text, bool:true, ...)";
        return false;
    }
    std::string type = text.substr(0, colon), rest = text.substr(colon + 1);
    for (const auto& t : kInts)
        if (type == t.prefix) return parseInteger(t, rest, out, why);
    if (type == "s") {
        std::wstring wide;
        if (!HuxWireFormat::fromUtf8(rest, wide)) {
            why = "s: text is not UTF-8";
            return false;
        }
        out->vt = VT_BSTR;
        out->bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        return true;
    }
    if (type == "r4" || type == "r8") {
        double d;
        if (!parseDouble(rest, d) ||
            (type == "r4" && std::isfinite(d) && std::fabs(d) > 3.4028234663852886e38)) {
            why = "\"" + rest + "\" is not a " + type + " value";
            return false;
        }
        if (type == "r4") {
            out->vt = VT_R4;
            out->fltVal = static_cast<float>(d);
        } else {
            out->vt = VT_R8;
            out->dblVal = d;
        }
        return true;
    }
    if (type == "bool") {
        if (rest != "true" && rest != "false" && rest != "1" && rest != "0") {
            why = "bool: takes true or false";
            return false;
        }
        out->vt = VT_BOOL;
        out->boolVal = (rest == "true" || rest == "1") ? VARIANT_TRUE : VARIANT_FALSE;
        return true;
    }
    if (type == "date") {
        double days;
        if (!parseDate(rest, days)) {
            why = "\"" + rest +
                  "\" is not a date that exists; date: takes YYYY-MM-DDTHH:MM:SS (UTC) or days since " +
                  "1899-12-30";
            return false;
        }
        out->vt = VT_DATE;
        out->date = days;
        return true;
    }
    if (type == "bytes") {
        if (rest.size() % 2) {
            why = "bytes: takes an even number of hex digits";
            return false;
        }
        SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(rest.size() / 2));
        for (size_t i = 0; i < rest.size(); i += 2) {
            char* end = nullptr;
            std::string pair = rest.substr(i, 2);
            long b = std::strtol(pair.c_str(), &end, 16);
            if (*end || !std::isxdigit(static_cast<unsigned char>(pair[0]))) {
                SafeArrayDestroy(psa);
                why = "bytes: \"" + pair + "\" is not hex";
                return false;
            }
            static_cast<BYTE*>(psa->pvData)[i / 2] = static_cast<BYTE>(b);
        }
        out->vt = VT_ARRAY | VT_UI1;
        out->parray = psa;
        return true;
    }
    if (type == "json") return HuxWireFormat::decodeVariant(rest.data(), rest.size(), out, why);
    why = "unknown type \"" + type + "\"";
    return false;
}

std::string BusValueText::format(const VARIANT& value) {
    if (value.vt == VT_EMPTY) return "empty";
    if (value.vt == VT_NULL) return "null";
    if (!(value.vt & VT_ARRAY)) return formatScalar(value.vt, &value.llVal);
    VARTYPE elem = value.vt & VT_TYPEMASK;
    const SAFEARRAY* psa = value.parray;
    if (!psa) return "[]";
    ULONG n = psa->rgsabound[0].cElements;
    const char* base = static_cast<const char*>(psa->pvData);
    std::string out;
    if (elem == VT_UI1) {
        out = "bytes:";
        for (ULONG i = 0; i < n; ++i) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(base[i]));
            out += buf;
        }
        return out;
    }
    bool variants = elem == VT_VARIANT;
    if (!variants) {
        // i4[1, 2]: the type once, then the bare values.
        std::string first = formatScalar(elem, base);
        out = first.substr(0, first.find(':'));
    }
    out += "[";
    for (ULONG i = 0; i < n; ++i) {
        const char* p = base + size_t(i) * psa->cbElements;
        if (i) out += ", ";
        if (variants) {
            out += format(*reinterpret_cast<const VARIANT*>(p));
        } else {
            std::string item = formatScalar(elem, p);
            out += item.substr(item.find(':') + 1);
        }
    }
    return out + "]";
}
