// Feeds arbitrary formats to the formatter, into a small fixed buffer and into a growing string.
//
// Every argument slot holds the same pointer to L"ab", which is valid text read either way:
// as wide text it is "ab", as narrow text "a" (its bytes are 'a', 0, 0, 0 ...). Integer
// conversions read the pointer's bits. At most ten conversions are allowed, each taking at most
// three arguments (width, precision, value), so no conversion reads past the 32 given.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/Format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<wchar_t> fmt;
    fmt.reserve(size + 1);
    size_t conversions = 0;
    for (size_t i = 0; i < size; ++i) {
        // 0xFF stands for a character beyond one byte, so wide-range text is covered too.
        wchar_t c = data[i] == 0xFF ? static_cast<wchar_t>(0x1F600) : static_cast<wchar_t>(data[i]);
        conversions += c == L'%';
        fmt.push_back(c);
    }
    fmt.push_back(L'\0');
    if (conversions > 10) return 0;

    static const wchar_t text[] = L"ab";
    const void* p = text;
    wchar_t out[64];
    FormatWide(out, sizeof out / sizeof out[0], fmt.data(), p, p, p, p, p, p, p, p, p, p, p, p, p, p, p, p, p,
               p, p, p, p, p, p, p, p, p, p, p, p, p, p, p);
    std::wstring s = FormatWideString(fmt.data(), p, p, p, p, p, p, p, p, p, p, p, p, p, p, p, p, p, p, p, p,
                                      p, p, p, p, p, p, p, p, p, p, p, p);
    return s.size() > (size_t(1) << 26) ? 1 : 0;
}
