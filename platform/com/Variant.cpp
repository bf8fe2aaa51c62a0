#include "platform/com/Variant.h"

#include <cstdlib>
#include <cstring>
#include <limits>

void VariantInit(VARIANT* v) {
    if (!v) return;
    std::memset(v, 0, sizeof(VARIANT));
    v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* v) {
    if (!v) return E_INVALIDARG;
    HRESULT hr = S_OK;
    if (v->vt & VT_ARRAY) {
        hr = SafeArrayDestroy(v->parray);
    } else if (v->vt == VT_BSTR) {
        SysFreeString(v->bstrVal);
    } else if (v->vt == VT_UNKNOWN) {
        if (v->punkVal) v->punkVal->Release();
    }
    VariantInit(v);
    return hr;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
    if (!dest || !src) return E_INVALIDARG;
    if (dest == src) return S_OK;
    VARIANT tmp;
    std::memcpy(&tmp, src, sizeof(VARIANT));
    if (src->vt & VT_ARRAY) {
        tmp.parray = nullptr;
        if (src->parray) {
            HRESULT hr = SafeArrayCopy(src->parray, &tmp.parray);
            if (FAILED(hr)) return hr;
        }
    } else if (src->vt == VT_BSTR) {
        if (src->bstrVal) {
            tmp.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
            if (!tmp.bstrVal) return E_OUTOFMEMORY;
        }
    } else if (src->vt == VT_UNKNOWN) {
        if (tmp.punkVal) tmp.punkVal->AddRef();
    }
    VariantClear(dest);
    std::memcpy(dest, &tmp, sizeof(VARIANT));
    return S_OK;
}

ULONG SafeArrayElementSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_R4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_DATE:
        case VT_CY:
            return 8;
        case VT_BSTR:
            return sizeof(BSTR);
        case VT_UNKNOWN:
            return sizeof(IUnknown*);
        case VT_VARIANT:
            return sizeof(VARIANT);
        default:
            return 0;
    }
}

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds) {
    // Only one-dimensional arrays exist in this system.
    if (cDims != 1 || !bounds) return nullptr;
    ULONG size = SafeArrayElementSize(vt);
    if (size == 0) return nullptr;
    if (bounds->cElements > (std::numeric_limits<ULONG>::max() / size)) return nullptr;
    auto* psa = static_cast<SAFEARRAY*>(std::calloc(1, sizeof(SAFEARRAY)));
    if (!psa) return nullptr;
    psa->cDims = 1;
    psa->cbElements = size;
    psa->rgsabound[0] = *bounds;
    psa->vt = vt;
    if (bounds->cElements > 0) {
        psa->pvData = std::calloc(bounds->cElements, size);
        if (!psa->pvData) {
            std::free(psa);
            return nullptr;
        }
    }
    return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    SAFEARRAYBOUND b{cElements, lLbound};
    return SafeArrayCreate(vt, 1, &b);
}

namespace {
void* elementPtr(const SAFEARRAY* psa, ULONG i) {
    return static_cast<char*>(psa->pvData) + size_t(i) * psa->cbElements;
}

void freeElements(SAFEARRAY* psa, ULONG from, ULONG to) {
    for (ULONG i = from; i < to; ++i) {
        void* p = elementPtr(psa, i);
        switch (psa->vt) {
            case VT_BSTR: {
                BSTR* s = static_cast<BSTR*>(p);
                SysFreeString(*s);
                *s = nullptr;
                break;
            }
            case VT_VARIANT:
                VariantClear(static_cast<VARIANT*>(p));
                break;
            case VT_UNKNOWN: {
                IUnknown** u = static_cast<IUnknown**>(p);
                if (*u) (*u)->Release();
                *u = nullptr;
                break;
            }
            default:
                break;
        }
    }
}

// Copies one element value into a slot whose old content has been freed (or is zero).
HRESULT copyIn(VARTYPE vt, void* slot, const void* pv, ULONG size) {
    switch (vt) {
        case VT_BSTR: {
            BSTR src = *static_cast<const BSTR*>(pv);
            BSTR copy = nullptr;
            if (src) {
                copy = SysAllocStringLen(src, SysStringLen(src));
                if (!copy) return E_OUTOFMEMORY;
            }
            *static_cast<BSTR*>(slot) = copy;
            return S_OK;
        }
        case VT_VARIANT: {
            auto* dst = static_cast<VARIANT*>(slot);
            VariantInit(dst);
            return VariantCopy(dst, static_cast<const VARIANT*>(pv));
        }
        case VT_UNKNOWN: {
            IUnknown* u = *static_cast<IUnknown* const*>(pv);
            if (u) u->AddRef();
            *static_cast<IUnknown**>(slot) = u;
            return S_OK;
        }
        default:
            std::memcpy(slot, pv, size);
            return S_OK;
    }
}

HRESULT indexOf(const SAFEARRAY* psa, const LONG* indices, ULONG* out) {
    if (!psa || !indices) return E_INVALIDARG;
    int64_t rel = int64_t(indices[0]) - psa->rgsabound[0].lLbound;
    if (rel < 0 || rel >= int64_t(psa->rgsabound[0].cElements)) return DISP_E_BADINDEX;
    *out = static_cast<ULONG>(rel);
    return S_OK;
}
}  // namespace

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (!psa) return S_OK;
    if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
    freeElements(psa, 0, psa->rgsabound[0].cElements);
    std::free(psa->pvData);
    std::free(psa);
    return S_OK;
}

HRESULT SafeArrayCopy(const SAFEARRAY* psa, SAFEARRAY** out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!psa) return S_OK;
    SAFEARRAY* c = SafeArrayCreate(psa->vt, 1, psa->rgsabound);
    if (!c) return E_OUTOFMEMORY;
    for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
        HRESULT hr = copyIn(psa->vt, elementPtr(c, i), elementPtr(psa, i), psa->cbElements);
        if (FAILED(hr)) {
            SafeArrayDestroy(c);
            return hr;
        }
    }
    *out = c;
    return S_OK;
}

UINT SafeArrayGetDim(const SAFEARRAY* psa) {
    return psa ? psa->cDims : 0;
}
UINT SafeArrayGetElemsize(const SAFEARRAY* psa) {
    return psa ? psa->cbElements : 0;
}

HRESULT SafeArrayGetVartype(const SAFEARRAY* psa, VARTYPE* vt) {
    if (!psa || !vt) return E_INVALIDARG;
    *vt = psa->vt;
    return S_OK;
}

HRESULT SafeArrayGetLBound(const SAFEARRAY* psa, UINT nDim, LONG* bound) {
    if (!psa || !bound) return E_INVALIDARG;
    if (nDim != 1) return DISP_E_BADINDEX;
    *bound = psa->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(const SAFEARRAY* psa, UINT nDim, LONG* bound) {
    if (!psa || !bound) return E_INVALIDARG;
    if (nDim != 1) return DISP_E_BADINDEX;
    *bound = static_cast<LONG>(int64_t(psa->rgsabound[0].lLbound) + int64_t(psa->rgsabound[0].cElements) - 1);
    return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, const SAFEARRAYBOUND* bound) {
    if (!psa || !bound) return E_INVALIDARG;
    if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
    ULONG oldCount = psa->rgsabound[0].cElements, newCount = bound->cElements;
    if (newCount > (std::numeric_limits<ULONG>::max() / psa->cbElements)) return E_OUTOFMEMORY;
    if (newCount < oldCount) freeElements(psa, newCount, oldCount);
    void* data = nullptr;
    if (newCount > 0) {
        data = std::realloc(psa->pvData, size_t(newCount) * psa->cbElements);
        if (!data) return E_OUTOFMEMORY;
        if (newCount > oldCount)
            std::memset(static_cast<char*>(data) + size_t(oldCount) * psa->cbElements, 0,
                        size_t(newCount - oldCount) * psa->cbElements);
    } else {
        std::free(psa->pvData);
    }
    psa->pvData = data;
    psa->rgsabound[0] = *bound;
    return S_OK;
}

HRESULT SafeArrayGetElement(const SAFEARRAY* psa, const LONG* indices, void* pv) {
    if (!pv) return E_INVALIDARG;
    ULONG i;
    HRESULT hr = indexOf(psa, indices, &i);
    if (FAILED(hr)) return hr;
    return copyIn(psa->vt, pv, elementPtr(psa, i), psa->cbElements);
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* indices, const void* pv) {
    if (!pv && (!psa || psa->vt != VT_BSTR)) return E_INVALIDARG;
    ULONG i;
    HRESULT hr = indexOf(psa, indices, &i);
    if (FAILED(hr)) return hr;
    // Strings and objects are passed as the pointer itself, everything else by address.
    const void* src = (psa->vt == VT_BSTR || psa->vt == VT_UNKNOWN) ? static_cast<const void*>(&pv) : pv;
    // Copy first, then free the old value, so that storing an element into its own slot works.
    alignas(VARIANT) unsigned char fresh[sizeof(VARIANT)];
    hr = copyIn(psa->vt, fresh, src, psa->cbElements);
    if (FAILED(hr)) return hr;
    freeElements(psa, i, i + 1);
    std::memcpy(elementPtr(psa, i), fresh, psa->cbElements);
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
    if (!psa) return E_INVALIDARG;
    ++psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
    if (!psa) return E_INVALIDARG;
    if (psa->cLocks == 0) return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data) {
    if (!psa || !data) return E_INVALIDARG;
    SafeArrayLock(psa);
    *data = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
    return SafeArrayUnlock(psa);
}
