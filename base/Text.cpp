#include "base/Text.h"

#include <cwchar>

std::wstring NarrowToWide(const char* bytes, size_t len) {
    std::wstring out;
    out.reserve(len);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    size_t i = 0;
    while (i < len) {
        unsigned c = p[i];
        if (c < 0x80) {
            out.push_back(static_cast<wchar_t>(c));
            i += 1;
        } else if ((c & 0xE0) == 0xC0) {
            if (len - i < 2 || (p[i + 1] & 0xC0) != 0x80) break;
            out.push_back(static_cast<wchar_t>((c & 0x1F) << 6 | (p[i + 1] & 0x3F)));
            i += 2;
        } else if ((c & 0xF0) == 0xE0) {
            if (len - i < 3 || (p[i + 1] & 0xC0) != 0x80 || (p[i + 2] & 0xC0) != 0x80) break;
            out.push_back(
                static_cast<wchar_t>((c & 0x0F) << 12 | (p[i + 1] & 0x3F) << 6 | (p[i + 2] & 0x3F)));
            i += 3;
        } else {
            break;
        }
    }
    return out;
}

std::wstring NarrowToWide(const std::string& bytes) {
    return NarrowToWide(bytes.data(), bytes.size());
}

namespace {
void putUnit(std::string& out, unsigned u) {
    if (u < 0x80) {
        out.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (u >> 6)));
        out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | ((u >> 12) & 0x0F)));
        out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
}

char* writeUnit(char* out, unsigned u) {
    if (u < 0x80) {
        *out++ = static_cast<char>(u);
    } else if (u < 0x800) {
        *out++ = static_cast<char>(0xC0 | (u >> 6));
        *out++ = static_cast<char>(0x80 | (u & 0x3F));
    } else {
        *out++ = static_cast<char>(0xE0 | ((u >> 12) & 0x0F));
        *out++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (u & 0x3F));
    }
    return out;
}
}  // namespace

size_t WriteWideAsUtf8(char* out, const wchar_t* text, size_t len) {
    char* p = out;
    for (size_t i = 0; i < len; ++i) {
        auto c = static_cast<uint32_t>(text[i]);
        if (c < 0x80) {
            *p++ = static_cast<char>(c);
        } else if (c > 0xFFFF && c <= 0x10FFFF) {
            c -= 0x10000;
            p = writeUnit(p, 0xD800 | (c >> 10));
            p = writeUnit(p, 0xDC00 | (c & 0x3FF));
        } else {
            p = writeUnit(p, c & 0xFFFF);
        }
    }
    return static_cast<size_t>(p - out);
}

void AppendWideAsUtf8(std::string& out, const wchar_t* text, size_t len) {
    // Most text is ASCII: its leading run is copied straight into place.
    const size_t base = out.size();
    out.resize(base + len);
    char* ascii = &out[base];
    size_t i = 0;
    while (i < len && static_cast<uint32_t>(text[i]) < 0x80) {
        ascii[i] = static_cast<char>(text[i]);
        ++i;
    }
    out.resize(base + i);
    for (; i < len; ++i) {
        auto c = static_cast<uint32_t>(text[i]);
        if (c > 0xFFFF && c <= 0x10FFFF) {
            c -= 0x10000;
            putUnit(out, 0xD800 | (c >> 10));
            putUnit(out, 0xDC00 | (c & 0x3FF));
        } else {
            putUnit(out, c & 0xFFFF);
        }
    }
}

std::string WideToUtf8(const wchar_t* text, size_t len) {
    std::string out;
    AppendWideAsUtf8(out, text, len);
    return out;
}

std::string WideToUtf8(const std::wstring& text) {
    return WideToUtf8(text.data(), text.size());
}

std::vector<std::wstring> SplitText(const std::wstring& text, const std::wstring& separator) {
    std::vector<std::wstring> pieces;
    if (separator.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    size_t pos = 0;
    for (;;) {
        size_t found = text.find(separator, pos);
        if (found == std::wstring::npos) {
            pieces.push_back(text.substr(pos));
            return pieces;
        }
        pieces.push_back(text.substr(pos, found - pos));
        pos = found + separator.size();
    }
}
