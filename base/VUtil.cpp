#include "base/VUtil.h"

#include <cstring>
#include <locale>
#include <new>

#include "base/Format.h"
#include "base/Text.h"

namespace {

[[noreturn]] void fail(const std::wstring& message) {
    throw HuxInvalidParameterException(message);
}

bool isArrayOf(const VARIANT& v, VARTYPE type) {
    return v.vt == (VT_ARRAY | type) && v.parray;
}

// Owns a BSTR for the length of one call.
struct TempBstr {
    explicit TempBstr(const wchar_t* text, size_t len) : s(SysAllocStringLen(text, static_cast<UINT>(len))) {}
    ~TempBstr() { SysFreeString(s); }
    TempBstr(const TempBstr&) = delete;
    TempBstr& operator=(const TempBstr&) = delete;
    BSTR s;
};

std::wstring fromBstr(BSTR s) {
    return s ? std::wstring(s, SysStringLen(s)) : std::wstring();
}

// Reads one element of an array whose type was checked, through the platform call.
template <typename T>
bool readRaw(const VARIANT& array, LONG index, T& out) {
    return array.parray && SUCCEEDED(SafeArrayGetElement(array.parray, &index, &out));
}

bool readString(const VARIANT& array, LONG index, std::wstring& out) {
    BSTR s = nullptr;
    if (!readRaw(array, index, s)) return false;
    out = fromBstr(s);
    SysFreeString(s);
    return true;
}

bool readVariant(const VARIANT& array, LONG index, CComVariant& out) {
    VARIANT tmp;
    VariantInit(&tmp);
    if (!readRaw(array, index, tmp)) return false;
    out.Clear();
    static_cast<VARIANT&>(out) = tmp;
    return true;
}

template <typename T>
void getExact(const VARIANT& array, LONG index, VARTYPE type, T& out, const wchar_t* wrongType) {
    if (!isArrayOf(array, type)) fail(wrongType);
    T value;
    if (!readRaw(array, index, value)) fail(L"SafeArrayGetElement failed in VUtil::GetElement");
    out = value;
}

// The element as a variant of a variant array, or nothing when the array is a typed one.
// `array` must be an array of variants or of `type`, else arrayMessage is thrown.
bool elementOfVariantArray(const VARIANT& array, LONG index, VARTYPE type, const wchar_t* arrayMessage,
                           const wchar_t* readMessage, CComVariant& element) {
    if (isArrayOf(array, VT_VARIANT)) {
        if (!readVariant(array, index, element)) fail(readMessage);
        return true;
    }
    if (!isArrayOf(array, type)) fail(arrayMessage);
    return false;
}

template <typename T, typename FromVariant>
T getMixed(const VARIANT& array, LONG index, VARTYPE type, const wchar_t* elementMessage,
           const wchar_t* arrayMessage, const wchar_t* readMessage, FromVariant fromVariant) {
    CComVariant element;
    if (elementOfVariantArray(array, index, type, arrayMessage, readMessage, element)) {
        if (element.vt != type) fail(elementMessage);
        return fromVariant(element);
    }
    T value;
    if (!readRaw(array, index, value)) fail(readMessage);
    return value;
}

// Stores a value into an array of its own type, or wrapped in a variant into a variant array.
template <typename T, typename ToVariant>
void putMixed(VARIANT& array, LONG index, VARTYPE type, const void* typedPointer, const wchar_t* typeName,
              ToVariant toVariant) {
    HRESULT hr;
    if (isArrayOf(array, type)) {
        hr = SafeArrayPutElement(array.parray, &index, typedPointer);
    } else if (isArrayOf(array, VT_VARIANT)) {
        VARIANT v;
        VariantInit(&v);
        v.vt = type;
        toVariant(v);
        hr = SafeArrayPutElement(array.parray, &index, &v);
    } else {
        fail(std::wstring(L"PutElement failed: not an array of ") + typeName + L" nor VARIANT");
    }
    if (FAILED(hr)) fail(L"SafeArrayPutElement failed");
}

void requireArray(const VARIANT& v, const wchar_t* message) {
    if (!(v.vt & VT_ARRAY) || !v.parray) fail(message);
}

std::wstring lowerCase(const std::wstring& s) {
    std::locale loc;
    std::wstring out = s;
    for (auto& c : out) c = std::tolower(c, loc);
    return out;
}

// Calls f(pair) for every element of a pair list that is not a hole.
template <typename F>
void forEachPair(const VARIANT& list, F f) {
    LONG count = VUtil::GetArrayLength(list);
    for (LONG i = 0; i < count; ++i) {
        CComVariant pair;
        if (!readVariant(list, i, pair)) fail(L"SafeArrayGetElement failed in VUtil::FindPair");
        if (pair.vt == VT_EMPTY) continue;
        if (f(static_cast<const VARIANT&>(pair))) return;
    }
}

}  // namespace

// --- exactly-typed reads ---

void VUtil::GetElement(const VARIANT& array, LONG index, CComVariant& value) {
    if (!isArrayOf(array, VT_VARIANT)) fail(L"Variant passed to VUtil::GetElement is not a variant array");
    if (!readVariant(array, index, value)) fail(L"SafeArrayGetElement failed in VUtil::GetElement");
}

void VUtil::GetElement(const VARIANT& array, LONG index, LONG& value) {
    getExact(array, index, VT_I4, value, L"Variant passed to VUtil::GetElement is not a long array");
}

void VUtil::GetElementInt(const VARIANT& array, LONG index, int& value) {
    getExact(array, index, VT_I4, value, L"Variant passed to VUtil::GetElement is not an int array");
}

void VUtil::GetElement(const VARIANT& array, LONG index, double& value) {
    getExact(array, index, VT_R8, value, L"Variant passed to VUtil::GetElement is not a double array");
}

void VUtil::GetElement(const VARIANT& array, LONG index, float& value) {
    getExact(array, index, VT_R4, value, L"Variant passed to VUtil::GetElement is not a float array");
}

void VUtil::GetElement(const VARIANT& array, LONG index, ULONG& value) {
    getExact(array, index, VT_UI4, value,
             L"Variant passed to VUtil::GetElement is not a unsigned long array");
}

void VUtil::GetElement(const VARIANT& array, LONG index, LONGLONG& value) {
    getExact(array, index, VT_I8, value, L"Variant passed to VUtil::GetElement is not a int64 array");
}

void VUtil::GetElement(const VARIANT& array, LONG index, ULONGLONG& value) {
    getExact(array, index, VT_UI8, value,
             L"Variant passed to VUtil::GetElement is not a unsigned int64 array");
}

void VUtil::GetElement(const VARIANT& array, LONG index, SHORT& value) {
    getExact(array, index, VT_I2, value, L"Variant passed to VUtil::GetElement is not a short array");
}

void VUtil::GetElement(const VARIANT& array, LONG index, bool& value) {
    VARIANT_BOOL b = 0;
    getExact(array, index, VT_BOOL, b, L"Variant passed to VUtil::GetElement is not a bool array");
    value = b != 0;
}

void VUtil::GetElement(const VARIANT& array, LONG index, USHORT& value) {
    getExact(array, index, VT_UI2, value,
             L"Variant passed to VUtil::GetElement is not a unsigned short array");
}

void VUtil::GetElement(const VARIANT& array, LONG index, std::wstring& value) {
    if (!isArrayOf(array, VT_BSTR)) fail(L"Variant passed to VUtil::GetElement is not a string array");
    if (!readString(array, index, value)) fail(L"SafeArrayGetElement failed in VUtil::GetElement");
}

// --- typed or variant-array reads ---

std::wstring VUtil::GetStringElement(const VARIANT& array, LONG index) {
    const wchar_t* readMessage = L"SafeArrayGetElement failed in VUtil::GetStringElement";
    CComVariant element;
    if (elementOfVariantArray(array, index, VT_BSTR, L"Not an array of variant or string", readMessage,
                              element)) {
        if (element.vt == VT_EMPTY) return std::wstring();
        if (element.vt != VT_BSTR) fail(L"Element is not a string");
        return fromBstr(element.bstrVal);
    }
    std::wstring value;
    if (!readString(array, index, value)) fail(readMessage);
    return value;
}

void VUtil::GetStringElement(const VARIANT& array, LONG index, std::wstring& value) {
    value = GetStringElement(array, index);
}

bool VUtil::GetBoolElement(const VARIANT& array, LONG index) {
    return getMixed<VARIANT_BOOL>(array, index, VT_BOOL, L"Element is not a bool",
                                  L"Not an array of variant or bool",
                                  L"SafeArrayGetElement failed in VUtil::GetBoolElement",
                                  [](const VARIANT& v) { return v.boolVal; }) != 0;
}

LONG VUtil::GetLongElement(const VARIANT& array, LONG index) {
    return getMixed<LONG>(array, index, VT_I4, L"Element is not a long", L"Not an array of variant or long",
                          L"SafeArrayGetElement failed in VUtil::GetLongElement",
                          [](const VARIANT& v) { return v.lVal; });
}

void VUtil::GetLongElement(const VARIANT& array, LONG index, LONG& value) {
    value = GetLongElement(array, index);
}

int VUtil::GetIntElement(const VARIANT& array, LONG index) {
    return getMixed<int>(array, index, VT_I4, L"Element is not an int", L"Not an array of variant or int",
                         L"SafeArrayGetElement failed in VUtil::GetIntElement",
                         [](const VARIANT& v) { return v.intVal; });
}

SHORT VUtil::GetShortElement(const VARIANT& array, LONG index) {
    return getMixed<SHORT>(
        array, index, VT_I2, L"Element is not a short", L"Not an array of variant or short",
        L"SafeArrayGetElement failed in VUtil::GetShortElement", [](const VARIANT& v) { return v.iVal; });
}

USHORT VUtil::GetUShortElement(const VARIANT& array, LONG index) {
    return getMixed<USHORT>(array, index, VT_UI2, L"Element is not an unsigned short",
                            L"Not an array of variant or unsigned short",
                            L"SafeArrayGetElement failed in VUtil::GetUShortElement",
                            [](const VARIANT& v) { return v.uiVal; });
}

int64_t VUtil::GetDateElement(const VARIANT& array, LONG index) {
    DATE d = getMixed<DATE>(
        array, index, VT_DATE, L"Element is not a date", L"Not an array of variant or date",
        L"SafeArrayGetElement failed in VUtil::GetDateElement", [](const VARIANT& v) { return v.date; });
    return DateToSeconds(d);
}

double VUtil::GetDoubleElement(const VARIANT& array, LONG index) {
    return getMixed<double>(
        array, index, VT_R8, L"Element is not a double", L"Not an array of variant or double",
        L"SafeArrayGetElement failed in VUtil::GetDoubleElement", [](const VARIANT& v) { return v.dblVal; });
}

double VUtil::GetFloatOrDoubleElement(const VARIANT& array, LONG index) {
    const wchar_t* readMessage = L"SafeArrayGetElement failed in VUtil::GetFloatOrDoubleElement";
    if (isArrayOf(array, VT_VARIANT)) {
        CComVariant element;
        if (!readVariant(array, index, element)) fail(readMessage);
        if (element.vt == VT_R4) return element.fltVal;
        if (element.vt == VT_R8) return element.dblVal;
        fail(L"Element is not a float or a double");
    }
    if (isArrayOf(array, VT_R4)) {
        float f;
        if (!readRaw(array, index, f)) fail(readMessage);
        return f;
    }
    if (isArrayOf(array, VT_R8)) {
        double d;
        if (!readRaw(array, index, d)) fail(readMessage);
        return d;
    }
    fail(L"Not an array of variant, float or double");
}

void VUtil::GetBytesElement(const VARIANT& array, LONG index, std::unique_ptr<uint8_t[]>& bytes,
                            LONG& length) {
    if (!isArrayOf(array, VT_VARIANT)) fail(L"Not an array of variant");
    CComVariant element;
    if (!readVariant(array, index, element)) fail(L"SafeArrayGetElement failed in VUtil::GetBytesElement");
    if (!isArrayOf(element, VT_UI1)) fail(L"Element is not an unsigned char array");
    LONG n = GetArrayLength(element);
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[n > 0 ? n : 1]);
    if (!buffer) fail(L"Could not allocate data buffer");
    void* data = nullptr;
    if (n > 0) {
        if (FAILED(SafeArrayAccessData(element.parray, &data)))
            fail(L"SafeArrayGetElement failed in VUtil::GetBytesElement");
        std::memcpy(buffer.get(), data, static_cast<size_t>(n));
        SafeArrayUnaccessData(element.parray);
    }
    bytes = std::move(buffer);
    length = n;
}

// --- puts ---

void VUtil::PutElement(VARIANT& array, LONG index, LONG value) {
    putMixed<LONG>(array, index, VT_I4, &value, L"I4", [&](VARIANT& v) { v.lVal = value; });
}

void VUtil::PutElement(VARIANT& array, LONG index, BYTE value) {
    putMixed<BYTE>(array, index, VT_UI1, &value, L"UI1", [&](VARIANT& v) { v.bVal = value; });
}

void VUtil::PutElement(VARIANT& array, LONG index, bool value) {
    VARIANT_BOOL b = value ? VARIANT_TRUE : VARIANT_FALSE;
    putMixed<VARIANT_BOOL>(array, index, VT_BOOL, &b, L"BOOL", [&](VARIANT& v) { v.boolVal = b; });
}

void VUtil::PutElement(VARIANT& array, LONG index, const std::wstring& value) {
    TempBstr s(value.data(), value.size());
    // A string array takes the BSTR itself; the variant array a variant holding it. Both copy.
    putMixed<BSTR>(array, index, VT_BSTR, s.s, L"BSTR", [&](VARIANT& v) { v.bstrVal = s.s; });
}

void VUtil::PutElement(VARIANT& array, LONG index, const wchar_t* value) {
    PutElement(array, index, std::wstring(value ? value : L""));
}

void VUtil::PutElement(VARIANT& array, LONG index, SHORT value) {
    putMixed<SHORT>(array, index, VT_I2, &value, L"I2", [&](VARIANT& v) { v.iVal = value; });
}

void VUtil::PutElement(VARIANT& array, LONG index, USHORT value) {
    putMixed<USHORT>(array, index, VT_UI2, &value, L"UI2", [&](VARIANT& v) { v.uiVal = value; });
}

void VUtil::PutElement(VARIANT& array, LONG index, LONGLONG value) {
    putMixed<LONGLONG>(array, index, VT_I8, &value, L"I8", [&](VARIANT& v) { v.llVal = value; });
}

void VUtil::PutElement(VARIANT& array, LONG index, ULONGLONG value) {
    putMixed<ULONGLONG>(array, index, VT_UI8, &value, L"UI8", [&](VARIANT& v) { v.ullVal = value; });
}

void VUtil::PutElement(VARIANT& array, LONG index, double value) {
    putMixed<double>(array, index, VT_R8, &value, L"R8", [&](VARIANT& v) { v.dblVal = value; });
}

void VUtil::PutElement(VARIANT& array, LONG index, float value) {
    putMixed<float>(array, index, VT_R4, &value, L"R4", [&](VARIANT& v) { v.fltVal = value; });
}

void VUtil::PutDateElement(VARIANT& array, LONG index, int64_t seconds) {
    DATE d = SecondsToDate(seconds);
    putMixed<DATE>(array, index, VT_DATE, &d, L"DATE", [&](VARIANT& v) { v.date = d; });
}

void VUtil::PutElement(VARIANT& array, LONG index, const VARIANT& value) {
    if (!isArrayOf(array, VT_VARIANT) || FAILED(SafeArrayPutElement(array.parray, &index, &value)))
        fail(L"SafeArrayPutElement failed");
}

// --- arrays ---

void VUtil::CreateArray(VARIANT& v, VARTYPE type, LONG length) {
    SAFEARRAY* psa = length >= 0 ? SafeArrayCreateVector(type, 0, static_cast<ULONG>(length)) : nullptr;
    if (!psa) fail(L"Could not create safe array");
    VariantClear(&v);
    v.vt = static_cast<VARTYPE>(type | VT_ARRAY);
    v.parray = psa;
}

void VUtil::ResizeArray(VARIANT& v, LONG length) {
    SAFEARRAYBOUND bound{static_cast<ULONG>(length), 0};
    if (!(v.vt & VT_ARRAY) || !v.parray || length < 0 || FAILED(SafeArrayRedim(v.parray, &bound)))
        fail(L"Could not redimension safe array");
}

void VUtil::PutBinaryIntoVariant(VARIANT& v, const uint8_t* bytes, LONG length) {
    VariantClear(&v);
    SAFEARRAY* psa = length >= 0 ? SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(length)) : nullptr;
    if (!psa) fail(L"PutBinaryIntoVariant: could not create safe array");
    if (length > 0 && bytes) {
        void* data = nullptr;
        if (FAILED(SafeArrayAccessData(psa, &data))) {
            SafeArrayDestroy(psa);
            fail(L"PutBinaryIntoVariant: could not create safe array");
        }
        std::memcpy(data, bytes, static_cast<size_t>(length));
        SafeArrayUnaccessData(psa);
    }
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = psa;
}

LONG VUtil::GetArrayLength(const VARIANT& v) {
    if (!(v.vt & VT_ARRAY)) fail(L"Variant passed to VUtil::GetArrayLength is not an array");
    LONG lower = 0, upper = 0;
    if (FAILED(SafeArrayGetLBound(v.parray, 1, &lower)))
        fail(L"SafeArrayGetLBound failed in VUtil::GetArrayLength");
    if (lower != 0) fail(L"Array is not zero indexed! (VUtil::GetArrayLength)");
    if (FAILED(SafeArrayGetUBound(v.parray, 1, &upper)))
        fail(L"SafeArrayGetLBound failed in VUtil::GetArrayLength");
    return upper + 1;
}

LONG VUtil::GetArrayLengthEmpty(const VARIANT& v) {
    if (v.vt == VT_EMPTY) return 0;
    if (!(v.vt & VT_ARRAY)) fail(L"Variant passed to VUtil::GetArrayLengthEmpty is not an array");
    return GetArrayLength(v);
}

// --- pairs ---

void VUtil::PutPair(VARIANT& list, LONG index, const std::wstring& key, const std::wstring& value) {
    CComVariant v(value);
    PutPair(list, index, key, static_cast<const VARIANT&>(v));
}

void VUtil::PutPair(VARIANT& list, LONG index, const std::wstring& key, LONG value) {
    CComVariant v(value);
    PutPair(list, index, key, static_cast<const VARIANT&>(v));
}

void VUtil::PutPair(VARIANT& list, LONG index, const std::wstring& key, const VARIANT& value) {
    if (!isArrayOf(list, VT_VARIANT)) fail(L"PutPair: the given variant is not an array of variants");
    CComVariant pair;
    pair.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    if (!pair.parray) fail(L"Could not create safe array in PutPair");
    pair.vt = VT_ARRAY | VT_VARIANT;
    CComVariant k(key);
    LONG zero = 0, one = 1;
    if (FAILED(SafeArrayPutElement(pair.parray, &zero, static_cast<const VARIANT*>(&k))) ||
        FAILED(SafeArrayPutElement(pair.parray, &one, &value)) ||
        FAILED(SafeArrayPutElement(list.parray, &index, static_cast<const VARIANT*>(&pair))))
        fail(L"PutPair failed");
}

void VUtil::GetPair(const VARIANT& list, LONG index, std::wstring& key, std::wstring& value) {
    if (!isArrayOf(list, VT_VARIANT)) fail(L"Variant passed to VUtil::GetPair is not an array");
    CComVariant pair;
    if (!readVariant(list, index, pair)) fail(L"SafeArrayGetElement failed in VUtil::GetPair");
    key = GetStringElement(pair, 0);
    value = GetStringElement(pair, 1);
}

bool VUtil::FindPair(const VARIANT& list, const std::wstring& key, CComVariant& value) {
    requireArray(list, L"Variant passed to VUtil::FindPair is not an array");
    if (!isArrayOf(list, VT_VARIANT)) return false;
    bool found = false;
    forEachPair(list, [&](const VARIANT& pair) {
        if (GetStringElement(pair, 0) != key) return false;
        GetElement(pair, 1, value);
        found = true;
        return true;
    });
    return found;
}

bool VUtil::FindPair(const VARIANT& list, const std::wstring& key, std::wstring& value) {
    CComVariant v;
    if (!FindPair(list, key, v)) return false;
    if (v.vt == VT_BSTR) {
        value = fromBstr(v.bstrVal);
    } else if (v.vt == VT_I4) {
        value = std::to_wstring(v.lVal);
    } else {
        fail(L"the value in the pair is neither a string nor an int");
    }
    return true;
}

bool VUtil::FindPair(const VARIANT& list, const std::wstring& key, LONG& value) {
    CComVariant v;
    if (!FindPair(list, key, v)) return false;
    if (v.vt != VT_I4) fail(L"Element is not a long");
    value = v.lVal;
    return true;
}

std::map<std::wstring, std::wstring> VUtil::toStringAMap(const VARIANT& list, bool lowerCaseKeys) {
    if (!isArrayOf(list, VT_VARIANT)) fail(L"Variant passed to VUtil::toStringAMap is not an array");
    std::map<std::wstring, std::wstring> out;
    forEachPair(list, [&](const VARIANT& pair) {
        std::wstring key = GetStringElement(pair, 0);
        out[lowerCaseKeys ? lowerCase(key) : key] = GetStringElement(pair, 1);
        return false;
    });
    return out;
}

std::map<std::string, std::string> VUtil::toStringAMapNarrow(const VARIANT& list, bool lowerCaseKeys) {
    std::map<std::string, std::string> out;
    for (const auto& e : toStringAMap(list, lowerCaseKeys)) out[WideToUtf8(e.first)] = WideToUtf8(e.second);
    return out;
}

// --- result codes and checks ---

LONG VUtil::GetSingleRetcode(const VARIANT& v) {
    if (v.vt & VT_ARRAY) {
        try {
            return GetLongElement(v, 0);
        } catch (const HuxInvalidParameterException& e) {
            fail(FormatWideString(L"safeArrayGetElement failed in VUtil::GetSingleRetcode : '%s'",
                                  e.GetMessage().c_str()));
        }
    }
    if (v.vt == VT_I4) return v.lVal;
    fail(L"VUtil::GetSingleRetcode wrong type");
}

void VUtil::CheckSingleRetcode(const VARIANT& v, const wchar_t* context) {
    LONG code = -1;
    if (v.vt & VT_ARRAY) {
        try {
            code = GetLongElement(v, 0);
        } catch (const HuxInvalidParameterException& e) {
            fail(FormatWideString(L"safeArrayGetElement failed in VUtil::CheckSingleRetcode : '%s'",
                                  e.GetMessage().c_str()));
        }
    } else if (v.vt == VT_I4) {
        code = v.lVal;
    }
    if (code == 0) return;
    std::wstring message = context ? FormatWideString(L"%s: ", context) : std::wstring();
    message +=
        FormatWideString(L"Hux error detected in VUtil::CheckSingleRetcode : hr = %ld - 0x%lx", code, code);
    fail(message);
}

void VUtil::checkType(const VARIANT& v, VARTYPE type, const wchar_t* context) {
    if (v.vt == type) return;
    std::wstring message = context ? FormatWideString(L"%s: ", context) : std::wstring();
    message += FormatWideString(L"checkType failed, got %d, expected %d", v.vt, type);
    fail(message);
}

LONG VUtil::checkArrayType(const VARIANT& v, VARTYPE elementType, LONG length, bool orMore,
                           const wchar_t* context) {
    std::wstring prefix = context ? FormatWideString(L"%s: ", context) : std::wstring();
    int wanted = elementType | VT_ARRAY;
    if (v.vt != wanted)
        fail(prefix + FormatWideString(L"checkArrayType failed, got %d, expected %d", v.vt, wanted));
    LONG actual = GetArrayLength(v);
    if (orMore ? actual < length : actual != length)
        fail(prefix + FormatWideString(L"checkArrayType failed, got length %d, expect %d%s", actual, length,
                                       orMore ? L"+" : L""));
    return actual;
}

std::wstring VUtil::GetSingleOutParamString(const VARIANT& v) {
    const wchar_t* readMessage = L"SafeArrayGetElement failed in VUtil::GetSingleOutParamString";
    if (isArrayOf(v, VT_BSTR)) {
        std::wstring s;
        if (!readString(v, 0, s)) fail(readMessage);
        return s;
    }
    if (!isArrayOf(v, VT_VARIANT)) fail(readMessage);
    CComVariant element;
    if (!readVariant(v, 0, element)) fail(readMessage);
    if (element.vt != VT_BSTR) fail(L"outParam is not a BSTR in VUtil::GetSingleOutParamString");
    return fromBstr(element.bstrVal);
}
