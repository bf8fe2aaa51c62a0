#include "platform/com/Bstr.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <limits>

namespace {
// The length in bytes sits in a size_t header just before the text.
struct Header {
    size_t bytes;
};
}  // namespace

BSTR SysAllocStringLen(LPCOLESTR text, UINT len) {
    if (len > (std::numeric_limits<UINT>::max() / sizeof(OLECHAR)) - 16) return nullptr;
    size_t total = sizeof(Header) + (size_t(len) + 1) * sizeof(OLECHAR);
    void* block = std::malloc(total);
    if (!block) return nullptr;
    auto* h = static_cast<Header*>(block);
    h->bytes = size_t(len) * sizeof(OLECHAR);
    auto* s = reinterpret_cast<OLECHAR*>(h + 1);
    if (text)
        std::memcpy(s, text, size_t(len) * sizeof(OLECHAR));
    else
        std::memset(s, 0, size_t(len) * sizeof(OLECHAR));
    s[len] = 0;
    return s;
}

BSTR SysAllocString(LPCOLESTR text) {
    if (!text) return nullptr;
    return SysAllocStringLen(text, static_cast<UINT>(std::wcslen(text)));
}

void SysFreeString(BSTR s) {
    if (!s) return;
    std::free(reinterpret_cast<Header*>(s) - 1);
}

UINT SysStringByteLen(BSTR s) {
    if (!s) return 0;
    return static_cast<UINT>((reinterpret_cast<Header*>(s) - 1)->bytes);
}

UINT SysStringLen(BSTR s) {
    return SysStringByteLen(s) / sizeof(OLECHAR);
}

bool SysReAllocString(BSTR* s, LPCOLESTR text) {
    if (!s) return false;
    BSTR n = nullptr;
    if (text) {
        n = SysAllocString(text);
        if (!n) return false;
    }
    SysFreeString(*s);
    *s = n;
    return true;
}
