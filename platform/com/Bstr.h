// BSTR: a counted wide string whose pointer is the text (zero-terminated) and whose length
// is kept in front of it.
#pragma once

#include <string>

#include "platform/com/Types.h"

using OLECHAR = wchar_t;
using BSTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

BSTR SysAllocString(LPCOLESTR text);
// Copies len characters of text (or leaves them zero when text is null).
BSTR SysAllocStringLen(LPCOLESTR text, UINT len);
void SysFreeString(BSTR s);
// Length in characters; 0 for a null BSTR.
UINT SysStringLen(BSTR s);
UINT SysStringByteLen(BSTR s);
// Replaces *s with a copy of text; false when memory runs out.
bool SysReAllocString(BSTR* s, LPCOLESTR text);

// Owns one BSTR.
class CComBSTR {
public:
    CComBSTR() = default;
    CComBSTR(LPCOLESTR text) : m_str(text ? SysAllocString(text) : nullptr) {}
    CComBSTR(const std::wstring& text)
        : m_str(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    CComBSTR(const CComBSTR& o) : m_str(o.m_str ? SysAllocStringLen(o.m_str, SysStringLen(o.m_str)) : nullptr) {}
    CComBSTR(CComBSTR&& o) noexcept : m_str(o.m_str) { o.m_str = nullptr; }
    ~CComBSTR() { SysFreeString(m_str); }
    CComBSTR& operator=(CComBSTR o) noexcept {
        std::swap(m_str, o.m_str);
        return *this;
    }

    BSTR m_str = nullptr;

    operator BSTR() const { return m_str; }
    BSTR* operator&() {
        Empty();
        return &m_str;
    }
    UINT Length() const { return SysStringLen(m_str); }
    std::wstring str() const { return m_str ? std::wstring(m_str, SysStringLen(m_str)) : std::wstring(); }
    void Empty() {
        SysFreeString(m_str);
        m_str = nullptr;
    }
    void Attach(BSTR s) {
        Empty();
        m_str = s;
    }
    BSTR Detach() {
        BSTR s = m_str;
        m_str = nullptr;
        return s;
    }
    BSTR Copy() const { return m_str ? SysAllocStringLen(m_str, SysStringLen(m_str)) : nullptr; }
};
