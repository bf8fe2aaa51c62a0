#include "base/Format.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

#include "base/Text.h"

namespace {

// Widths and precisions beyond this are taken as this: no log line comes near it, and it keeps
// the work for a hostile format bounded.
constexpr int kMaxField = 4096;

class Sink {
public:
    Sink(wchar_t* buf, size_t cap) : m_buf(buf), m_room(cap ? cap - 1 : 0) {}

    bool full() const { return m_cut; }
    size_t size() const { return m_len; }

    void put(wchar_t c) {
        if (m_len < m_room) {
            m_buf[m_len++] = c;
        } else {
            m_cut = true;
        }
    }
    void put(const wchar_t* s, size_t n) {
        size_t take = n <= m_room - m_len ? n : m_room - m_len;
        std::wmemcpy(m_buf + m_len, s, take);
        m_len += take;
        if (take < n) m_cut = true;
    }
    // ASCII only (what snprintf produces for numbers).
    void putAscii(const char* s, size_t n) {
        for (size_t i = 0; i < n && !m_cut; ++i) put(static_cast<wchar_t>(static_cast<unsigned char>(s[i])));
    }
    void pad(wchar_t c, size_t n) {
        for (size_t i = 0; i < n && !m_cut; ++i) put(c);
    }
    void finish() {
        if (m_buf) m_buf[m_len] = L'\0';
    }

private:
    wchar_t* m_buf;
    size_t m_room;
    size_t m_len = 0;
    bool m_cut = false;
};

struct Spec {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = -1;
    int precision = -1;
    enum Length { NONE, HH, H, L, LL, BIG_L, J, Z, T, W } length = NONE;
};

int readNumber(const wchar_t*& p) {
    long v = 0;
    while (*p >= L'0' && *p <= L'9') {
        if (v <= kMaxField) v = v * 10 + (*p - L'0');
        ++p;
    }
    return v > kMaxField ? kMaxField : static_cast<int>(v);
}

int clampField(int v) {
    return v > kMaxField ? kMaxField : v;
}

// Builds the narrow conversion for snprintf from the parsed flags, width and precision.
std::string narrowSpec(const Spec& s, const char* length, char conv, bool withPrecision = true) {
    std::string f = "%";
    if (s.left) f += '-';
    if (s.plus) f += '+';
    if (s.space) f += ' ';
    if (s.alt) f += '#';
    if (s.zero) f += '0';
    if (s.width >= 0) f += std::to_string(s.width);
    if (withPrecision && s.precision >= 0) f += '.' + std::to_string(s.precision);
    f += length;
    f += conv;
    return f;
}

bool plain(const Spec& s) {
    return !s.left && !s.plus && !s.space && !s.alt && !s.zero && s.width < 0 && s.precision < 0;
}

// The common case of a bare %d, %u, %x or %X, without the detour through snprintf.
void putPlainInteger(Sink& out, unsigned long long magnitude, bool negative, unsigned base, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    wchar_t buf[24];
    size_t pos = sizeof buf / sizeof buf[0];
    // Constant divisors: the compiler turns them into multiplications and shifts.
    if (base == 10) {
        do {
            buf[--pos] = static_cast<wchar_t>(L'0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude);
    } else {
        do {
            buf[--pos] = static_cast<wchar_t>(digits[magnitude % 16]);
            magnitude /= 16;
        } while (magnitude);
    }
    if (negative) buf[--pos] = L'-';
    out.put(buf + pos, sizeof buf / sizeof buf[0] - pos);
}

template <typename T>
void putNumber(Sink& out, const std::string& conversion, T value) {
    char small[128];
    int n = std::snprintf(small, sizeof small, conversion.c_str(), value);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.putAscii(small, static_cast<size_t>(n));
        return;
    }
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::snprintf(big.data(), big.size(), conversion.c_str(), value);
    out.putAscii(big.data(), static_cast<size_t>(n));
}

void putPadded(Sink& out, const Spec& s, const wchar_t* text, size_t len) {
    size_t width = s.width > 0 ? static_cast<size_t>(s.width) : 0;
    size_t fill = width > len ? width - len : 0;
    if (!s.left) out.pad(L' ', fill);
    out.put(text, len);
    if (s.left) out.pad(L' ', fill);
}

void putWideString(Sink& out, const Spec& s, const wchar_t* text) {
    if (!text) text = L"(null)";
    size_t len = 0;
    if (s.precision >= 0) {
        size_t max = static_cast<size_t>(s.precision);
        while (len < max && text[len] != L'\0') ++len;
    } else {
        len = std::wcslen(text);
    }
    putPadded(out, s, text, len);
}

void putNarrowString(Sink& out, const Spec& s, const char* text) {
    if (!text) text = "(null)";
    // Each character takes at least one byte, so a precision of n characters never needs more
    // than n bytes: the text is not read beyond that.
    size_t bytes = s.precision >= 0 ? strnlen(text, static_cast<size_t>(s.precision)) : std::strlen(text);
    std::wstring wide = NarrowToWide(text, bytes);
    if (s.precision >= 0 && wide.size() > static_cast<size_t>(s.precision)) wide.resize(s.precision);
    putPadded(out, s, wide.data(), wide.size());
}

void putPointer(Sink& out, const Spec& s, const void* p) {
    // The platform's form: the address as upper-case hex digits, zero-padded to its full size.
    char digits[2 * sizeof(void*) + 1];
    std::snprintf(digits, sizeof digits, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    wchar_t wide[sizeof digits];
    size_t n = 0;
    for (; digits[n]; ++n) wide[n] = static_cast<wchar_t>(digits[n]);
    putPadded(out, s, wide, n);
}

size_t run(Sink& out, const wchar_t* fmt, va_list args) {
    if (!fmt) return 0;
    const wchar_t* p = fmt;
    while (*p && !out.full()) {
        if (*p != L'%') {
            const wchar_t* literal = p;
            while (*p && *p != L'%') ++p;
            out.put(literal, static_cast<size_t>(p - literal));
            continue;
        }
        const wchar_t* start = p++;
        Spec s;
        for (;; ++p) {
            if (*p == L'-')
                s.left = true;
            else if (*p == L'+')
                s.plus = true;
            else if (*p == L' ')
                s.space = true;
            else if (*p == L'#')
                s.alt = true;
            else if (*p == L'0')
                s.zero = true;
            else
                break;
        }
        if (*p == L'*') {
            ++p;
            int w = va_arg(args, int);
            if (w < 0) {
                s.left = true;
                w = w == INT32_MIN ? kMaxField : -w;
            }
            s.width = clampField(w);
        } else if (*p >= L'0' && *p <= L'9') {
            s.width = readNumber(p);
        }
        if (*p == L'.') {
            ++p;
            if (*p == L'*') {
                ++p;
                int pr = va_arg(args, int);
                s.precision = pr < 0 ? -1 : clampField(pr);
            } else {
                s.precision = readNumber(p);
            }
        }
        switch (*p) {
            case L'h':
                ++p;
                if (*p == L'h') {
                    ++p;
                    s.length = Spec::HH;
                } else {
                    s.length = Spec::H;
                }
                break;
            case L'l':
                ++p;
                if (*p == L'l') {
                    ++p;
                    s.length = Spec::LL;
                } else {
                    s.length = Spec::L;
                }
                break;
            case L'L':
                ++p;
                s.length = Spec::BIG_L;
                break;
            case L'q':
                ++p;
                s.length = Spec::LL;
                break;
            case L'j':
                ++p;
                s.length = Spec::J;
                break;
            case L'z':
                ++p;
                s.length = Spec::Z;
                break;
            case L't':
                ++p;
                s.length = Spec::T;
                break;
            case L'w':
                ++p;
                s.length = Spec::W;
                break;
            default:
                break;
        }
        wchar_t conv = *p;
        switch (conv) {
            case L'%':
                out.put(L'%');
                break;
            case L'd':
            case L'i': {
                long long v;
                switch (s.length) {
                    case Spec::HH:
                        v = static_cast<signed char>(va_arg(args, int));
                        break;
                    case Spec::H:
                        v = static_cast<short>(va_arg(args, int));
                        break;
                    case Spec::LL:
                    case Spec::BIG_L:
                        v = va_arg(args, long long);
                        break;
                    case Spec::J:
                        v = va_arg(args, intmax_t);
                        break;
                    case Spec::Z:
                        v = static_cast<long long>(va_arg(args, size_t));
                        break;
                    case Spec::T:
                        v = va_arg(args, ptrdiff_t);
                        break;
                    default:
                        v = va_arg(args, int);
                        break;  // none and `l`: a 32-bit LONG
                }
                if (plain(s)) {
                    unsigned long long m = v < 0 ? 0ull - static_cast<unsigned long long>(v) : v;
                    putPlainInteger(out, m, v < 0, 10, false);
                } else {
                    putNumber(out, narrowSpec(s, "ll", 'd'), v);
                }
                break;
            }
            case L'u':
            case L'x':
            case L'X':
            case L'o': {
                unsigned long long v;
                switch (s.length) {
                    case Spec::HH:
                        v = static_cast<unsigned char>(va_arg(args, unsigned));
                        break;
                    case Spec::H:
                        v = static_cast<unsigned short>(va_arg(args, unsigned));
                        break;
                    case Spec::LL:
                    case Spec::BIG_L:
                        v = va_arg(args, unsigned long long);
                        break;
                    case Spec::J:
                        v = va_arg(args, uintmax_t);
                        break;
                    case Spec::Z:
                        v = va_arg(args, size_t);
                        break;
                    case Spec::T:
                        v = static_cast<unsigned long long>(va_arg(args, ptrdiff_t));
                        break;
                    default:
                        v = va_arg(args, unsigned);
                        break;
                }
                if (plain(s) && conv != L'o') {
                    putPlainInteger(out, v, false, conv == L'u' ? 10 : 16, conv == L'X');
                } else {
                    putNumber(out, narrowSpec(s, "ll", static_cast<char>(conv)), v);
                }
                break;
            }
            case L'e':
            case L'E':
            case L'f':
            case L'F':
            case L'g':
            case L'G':
            case L'a':
            case L'A':
                if (s.length == Spec::BIG_L) {
                    putNumber(out, narrowSpec(s, "L", static_cast<char>(conv)), va_arg(args, long double));
                } else {
                    putNumber(out, narrowSpec(s, "", static_cast<char>(conv)), va_arg(args, double));
                }
                break;
            case L'c':
            case L'C': {
                bool narrow = s.length == Spec::H || s.length == Spec::HH ||
                              (conv == L'C' && s.length != Spec::L && s.length != Spec::W);
                int v = va_arg(args, int);
                wchar_t c =
                    narrow ? static_cast<wchar_t>(static_cast<unsigned char>(v)) : static_cast<wchar_t>(v);
                putPadded(out, s, &c, 1);
                break;
            }
            case L's':
            case L'S': {
                bool narrow = s.length == Spec::H || s.length == Spec::HH ||
                              (conv == L'S' && s.length != Spec::L && s.length != Spec::W);
                if (narrow) {
                    putNarrowString(out, s, va_arg(args, const char*));
                } else {
                    putWideString(out, s, va_arg(args, const wchar_t*));
                }
                break;
            }
            case L'p':
                putPointer(out, s, va_arg(args, void*));
                break;
            case L'n':
                // Counting back into the caller's memory is never wanted in a log line.
                (void)va_arg(args, void*);
                break;
            default:
                // Unknown or cut-off conversion: show it as written. A lone '%' at the end of
                // the format lands here too, with p on the terminating zero.
                out.put(start, static_cast<size_t>(p - start));
                continue;
        }
        ++p;
    }
    out.finish();
    return out.size();
}

}  // namespace

size_t VFormatWide(wchar_t* buf, size_t cap, const wchar_t* fmt, va_list args, bool* cut) {
    if (!buf || cap == 0) {
        if (cut) *cut = fmt && *fmt;
        return 0;
    }
    Sink out(buf, cap);
    va_list copy;
    va_copy(copy, args);
    size_t n = run(out, fmt, copy);
    va_end(copy);
    if (cut) *cut = out.full();
    return n;
}

size_t FormatWide(wchar_t* buf, size_t cap, const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    size_t n = VFormatWide(buf, cap, fmt, args);
    va_end(args);
    return n;
}

std::wstring VFormatWideString(const wchar_t* fmt, va_list args) {
    std::vector<wchar_t> buf(256);
    // Every field is bounded, so the text is bounded by the format's length times the
    // largest field; the loop ends well before this cap.
    constexpr size_t kCap = size_t(1) << 26;
    for (;;) {
        bool cut = false;
        size_t n = VFormatWide(buf.data(), buf.size(), fmt, args, &cut);
        if (!cut || buf.size() >= kCap) return std::wstring(buf.data(), n);
        buf.resize(buf.size() * 4);
    }
}

std::wstring FormatWideString(const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::wstring s = VFormatWideString(fmt, args);
    va_end(args);
    return s;
}
