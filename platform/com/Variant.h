// VARIANT and SAFEARRAY: tagged values and one-dimensional arrays with a lower bound.
#pragma once

#include <string>

#include "platform/com/Bstr.h"
#include "platform/com/Unknown.h"

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
    VT_TYPEMASK = 0x0FFF,
};

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
    VARTYPE vt;  // element type (the platform keeps it beside the descriptor)
};

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1, wReserved2, wReserved3;
    union {
        LONGLONG llVal;
        ULONGLONG ullVal;
        LONG lVal;
        ULONG ulVal;
        INT intVal;
        UINT uintVal;
        SHORT iVal;
        USHORT uiVal;
        CHAR cVal;
        BYTE bVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        SAFEARRAY* parray;
    };
};
using VARIANTARG = VARIANT;

void VariantInit(VARIANT* v);
// Frees what the variant owns (string, array, reference) and makes it VT_EMPTY.
HRESULT VariantClear(VARIANT* v);
// Deep copy: strings and arrays are duplicated, references added.
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);

// Size of one element of the given type in an array, or 0 for a type arrays cannot hold.
ULONG SafeArrayElementSize(VARTYPE vt);
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
HRESULT SafeArrayCopy(const SAFEARRAY* psa, SAFEARRAY** out);
UINT SafeArrayGetDim(const SAFEARRAY* psa);
UINT SafeArrayGetElemsize(const SAFEARRAY* psa);
HRESULT SafeArrayGetVartype(const SAFEARRAY* psa, VARTYPE* vt);
HRESULT SafeArrayGetLBound(const SAFEARRAY* psa, UINT nDim, LONG* bound);
HRESULT SafeArrayGetUBound(const SAFEARRAY* psa, UINT nDim, LONG* bound);
// Changes the number of elements (and the lower bound); new elements are zero, dropped ones freed.
HRESULT SafeArrayRedim(SAFEARRAY* psa, const SAFEARRAYBOUND* bound);
// Copies the element out: a new BSTR for strings, a deep copy for variants, a new reference
// for objects. DISP_E_BADINDEX when the index is outside the bounds.
HRESULT SafeArrayGetElement(const SAFEARRAY* psa, const LONG* indices, void* pv);
// Copies the value in, freeing what the slot held before. For VT_BSTR and VT_UNKNOWN arrays pv is
// the string or object pointer itself; for every other type it points to the value.
HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* indices, const void* pv);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);

// Owns one VARIANT and clears it when it ends.
class CComVariant : public VARIANT {
public:
    CComVariant() { VariantInit(this); }
    CComVariant(const VARIANT& v) {
        VariantInit(this);
        VariantCopy(this, &v);
    }
    CComVariant(const CComVariant& v) : CComVariant(static_cast<const VARIANT&>(v)) {}
    CComVariant(CComVariant&& v) noexcept : VARIANT(v) { VariantInit(&v); }
    explicit CComVariant(LONG l) {
        VariantInit(this);
        vt = VT_I4;
        lVal = l;
    }
    explicit CComVariant(const wchar_t* s) {
        VariantInit(this);
        vt = VT_BSTR;
        bstrVal = SysAllocString(s ? s : L"");
    }
    explicit CComVariant(const std::wstring& s) {
        VariantInit(this);
        vt = VT_BSTR;
        bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    }
    explicit CComVariant(bool b) {
        VariantInit(this);
        vt = VT_BOOL;
        boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    }
    ~CComVariant() { VariantClear(this); }
    CComVariant& operator=(const VARIANT& v) {
        if (&v != this) {
            VariantClear(this);
            VariantCopy(this, &v);
        }
        return *this;
    }
    CComVariant& operator=(const CComVariant& v) { return *this = static_cast<const VARIANT&>(v); }
    CComVariant& operator=(CComVariant&& v) noexcept {
        if (&v != this) {
            VariantClear(this);
            static_cast<VARIANT&>(*this) = v;
            VariantInit(&v);
        }
        return *this;
    }
    HRESULT Clear() { return VariantClear(this); }
    // Hands the content to a plain VARIANT the caller owns.
    void Detach(VARIANT* out) {
        *out = *this;
        VariantInit(this);
    }
};
