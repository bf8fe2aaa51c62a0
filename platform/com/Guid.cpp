#include "platform/com/Guid.h"

#include <cstdio>

std::string GuidToNarrowString(REFGUID g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return buf;
}

std::wstring GuidToString(REFGUID g) {
    std::string n = GuidToNarrowString(g);
    return std::wstring(n.begin(), n.end());
}

namespace {
int hexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}
}  // namespace

bool GuidFromString(const std::wstring& text, GUID* g) {
    std::wstring t = text;
    if (t.size() == 38 && t.front() == L'{' && t.back() == L'}') t = t.substr(1, 36);
    if (t.size() != 36 || t[8] != L'-' || t[13] != L'-' || t[18] != L'-' || t[23] != L'-') return false;
    uint8_t bytes[16];
    size_t pos = 0;
    for (int i = 0; i < 16; ++i) {
        if (t[pos] == L'-') ++pos;
        int hi = hexValue(t[pos]), lo = hexValue(t[pos + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
        pos += 2;
    }
    GUID r;
    r.Data1 = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
    r.Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    r.Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    for (int i = 0; i < 8; ++i) r.Data4[i] = bytes[8 + i];
    *g = r;
    return true;
}
