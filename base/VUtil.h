// Reading and writing message-bus arguments: variants and one-dimensional, zero-based arrays of
// them, with strict type checks. Every failed check throws HuxInvalidParameterException (code 1)
// with a fixed message, so a handler can read its arguments as straight-line code.
//
// Pairs are two-element variant arrays [key string, value]; a pair list is a variant array of
// pairs in which VT_EMPTY elements are holes. Dates cross the boundary as seconds since 1970.
//
// On this platform LONG and int are one type, and int64_t is `long`; where the platform had an
// int and a long form of one operation, the int form carries its own name (GetElementInt,
// GetIntElement) and the LONG form keeps the plain one.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "base/HuxException.h"
#include "platform/com/Variant.h"

class VUtil {
public:
    // Exactly-typed element reads: the array must be of the value's own type.
    static void GetElement(const VARIANT& array, LONG index, CComVariant& value);
    static void GetElement(const VARIANT& array, LONG index, LONG& value);
    static void GetElementInt(const VARIANT& array, LONG index, int& value);
    static void GetElement(const VARIANT& array, LONG index, double& value);
    static void GetElement(const VARIANT& array, LONG index, float& value);
    static void GetElement(const VARIANT& array, LONG index, ULONG& value);
    static void GetElement(const VARIANT& array, LONG index, LONGLONG& value);
    static void GetElement(const VARIANT& array, LONG index, ULONGLONG& value);
    static void GetElement(const VARIANT& array, LONG index, SHORT& value);
    static void GetElement(const VARIANT& array, LONG index, bool& value);
    static void GetElement(const VARIANT& array, LONG index, USHORT& value);
    static void GetElement(const VARIANT& array, LONG index, std::wstring& value);

    // Element reads from a typed array or from a variant array whose element has the type.
    static std::wstring GetStringElement(const VARIANT& array, LONG index);
    static void GetStringElement(const VARIANT& array, LONG index, std::wstring& value);
    static bool GetBoolElement(const VARIANT& array, LONG index);
    static LONG GetLongElement(const VARIANT& array, LONG index);
    static void GetLongElement(const VARIANT& array, LONG index, LONG& value);
    static int GetIntElement(const VARIANT& array, LONG index);
    static SHORT GetShortElement(const VARIANT& array, LONG index);
    static USHORT GetUShortElement(const VARIANT& array, LONG index);
    static int64_t GetDateElement(const VARIANT& array, LONG index);  // seconds since 1970
    static double GetDoubleElement(const VARIANT& array, LONG index);
    static double GetFloatOrDoubleElement(const VARIANT& array, LONG index);
    // Variant arrays only: an element that is a byte array, copied into a new buffer.
    static void GetBytesElement(const VARIANT& array, LONG index, std::unique_ptr<uint8_t[]>& bytes,
                                LONG& length);

    // Stores into an array of the value's own type, or as a variant into an array of variants.
    static void PutElement(VARIANT& array, LONG index, LONG value);
    static void PutElement(VARIANT& array, LONG index, BYTE value);
    static void PutElement(VARIANT& array, LONG index, bool value);
    static void PutElement(VARIANT& array, LONG index, const std::wstring& value);
    static void PutElement(VARIANT& array, LONG index, const wchar_t* value);
    static void PutElement(VARIANT& array, LONG index, SHORT value);
    static void PutElement(VARIANT& array, LONG index, USHORT value);
    static void PutElement(VARIANT& array, LONG index, LONGLONG value);
    static void PutElement(VARIANT& array, LONG index, ULONGLONG value);
    static void PutElement(VARIANT& array, LONG index, double value);
    static void PutElement(VARIANT& array, LONG index, float value);
    static void PutDateElement(VARIANT& array, LONG index, int64_t seconds);
    // Stores a variant into an array of variants.
    static void PutElement(VARIANT& array, LONG index, const VARIANT& value);

    // A new zero-based array of `length` elements of `type`; the variant becomes type|VT_ARRAY.
    static void CreateArray(VARIANT& v, VARTYPE type, LONG length);
    static void ResizeArray(VARIANT& v, LONG length);
    static void PutBinaryIntoVariant(VARIANT& v, const uint8_t* bytes, LONG length);
    static LONG GetArrayLength(const VARIANT& v);
    static LONG GetArrayLengthEmpty(const VARIANT& v);  // VT_EMPTY counts as an empty array

    static void PutPair(VARIANT& list, LONG index, const std::wstring& key, const std::wstring& value);
    static void PutPair(VARIANT& list, LONG index, const std::wstring& key, LONG value);
    static void PutPair(VARIANT& list, LONG index, const std::wstring& key, const VARIANT& value);
    static void GetPair(const VARIANT& list, LONG index, std::wstring& key, std::wstring& value);
    // The first pair whose key equals `key` exactly; holes are skipped. The text form accepts a
    // string or an integer value.
    static bool FindPair(const VARIANT& list, const std::wstring& key, std::wstring& value);
    static bool FindPair(const VARIANT& list, const std::wstring& key, LONG& value);
    static bool FindPair(const VARIANT& list, const std::wstring& key, CComVariant& value);
    // Keys lower-cased (with the global locale) when asked; a later key replaces an earlier one.
    static std::map<std::wstring, std::wstring> toStringAMap(const VARIANT& list, bool lowerCaseKeys);
    static std::map<std::string, std::string> toStringAMapNarrow(const VARIANT& list, bool lowerCaseKeys);

    // The first value of a reply.
    static LONG GetSingleRetcode(const VARIANT& v);
    static void CheckSingleRetcode(const VARIANT& v, const wchar_t* context = nullptr);
    static void checkType(const VARIANT& v, VARTYPE type, const wchar_t* context = nullptr);
    static LONG checkArrayType(const VARIANT& v, VARTYPE elementType, LONG length, bool orMore,
                               const wchar_t* context = nullptr);
    static std::wstring GetSingleOutParamString(const VARIANT& v);

    // Dates: days since 1899-12-30 with the time of day as the fraction.
    static int64_t DateToSeconds(DATE date);
    static DATE SecondsToDate(int64_t seconds);

    // Indented XML for logs; appends to `out`.
    static void ToXml(const VARIANT& v, int depth, std::wstring& out);
    // "Dumping <name>: " followed by the XML at depth 1.
    static std::wstring Dump(const std::wstring& name, const VARIANT& v);
};
