#include "base/VUtil.h"

#include <gtest/gtest.h>

#include <clocale>
#include <locale>

namespace {

// Expects a HuxInvalidParameterException with code 1 and exactly this message.
#define EXPECT_HUX(statement, text)                               \
    do {                                                          \
        try {                                                     \
            statement;                                            \
            ADD_FAILURE() << "no exception, expected: " << #text; \
        } catch (const HuxInvalidParameterException& e) {         \
            EXPECT_EQ(e.GetCode(), 1);                            \
            EXPECT_EQ(e.GetMessage(), std::wstring(text));        \
        }                                                         \
    } while (0)

CComVariant array(VARTYPE type, LONG length) {
    CComVariant v;
    VUtil::CreateArray(v, type, length);
    return v;
}

CComVariant pairList(std::initializer_list<std::pair<std::wstring, std::wstring>> pairs) {
    CComVariant list = array(VT_VARIANT, static_cast<LONG>(pairs.size()));
    LONG i = 0;
    for (const auto& p : pairs) VUtil::PutPair(list, i++, p.first, p.second);
    return list;
}

TEST(VUtilElements, ExactGettersCheckTheArrayType) {
    CComVariant longs = array(VT_I4, 2);
    VUtil::PutElement(longs, 1, static_cast<LONG>(-7));
    LONG l = 0;
    VUtil::GetElement(longs, 1, l);
    EXPECT_EQ(l, -7);
    int i = 0;
    VUtil::GetElementInt(longs, 1, i);
    EXPECT_EQ(i, -7);
    EXPECT_HUX(VUtil::GetElement(longs, 2, l), L"SafeArrayGetElement failed in VUtil::GetElement");
    double d;
    EXPECT_HUX(VUtil::GetElement(longs, 0, d), L"Variant passed to VUtil::GetElement is not a double array");
    LONGLONG ll;
    EXPECT_HUX(VUtil::GetElement(longs, 0, ll), L"Variant passed to VUtil::GetElement is not a int64 array");
    std::wstring s;
    EXPECT_HUX(VUtil::GetElement(longs, 0, s), L"Variant passed to VUtil::GetElement is not a string array");
    CComVariant shorts = array(VT_I2, 1);
    EXPECT_HUX(VUtil::GetElement(shorts, 0, l), L"Variant passed to VUtil::GetElement is not a long array");
    EXPECT_HUX(VUtil::GetElementInt(shorts, 0, i),
               L"Variant passed to VUtil::GetElement is not an int array");
    // A scalar is not an array, whatever its union holds.
    CComVariant scalar(static_cast<LONG>(12345));
    EXPECT_HUX(VUtil::GetElement(scalar, 0, l), L"Variant passed to VUtil::GetElement is not a long array");

    CComVariant strings = array(VT_BSTR, 1);
    VUtil::PutElement(strings, 0, L"text");
    VUtil::GetElement(strings, 0, s);
    EXPECT_EQ(s, L"text");
    CComVariant bools = array(VT_BOOL, 1);
    VUtil::PutElement(bools, 0, true);
    bool b = false;
    VUtil::GetElement(bools, 0, b);
    EXPECT_TRUE(b);
}

TEST(VUtilElements, MixedGettersReadTypedOrVariantArrays) {
    CComVariant vars = array(VT_VARIANT, 6);
    VUtil::PutElement(vars, 0, L"name");
    VUtil::PutElement(vars, 1, static_cast<LONG>(5));
    VUtil::PutElement(vars, 2, 2.5f);
    VUtil::PutElement(vars, 3, static_cast<USHORT>(65535));
    VUtil::PutDateElement(vars, 4, 86400 + 3661);
    // element 5 stays VT_EMPTY
    EXPECT_EQ(VUtil::GetStringElement(vars, 0), L"name");
    EXPECT_EQ(VUtil::GetStringElement(vars, 5), L"");
    EXPECT_EQ(VUtil::GetLongElement(vars, 1), 5);
    EXPECT_EQ(VUtil::GetIntElement(vars, 1), 5);
    EXPECT_EQ(VUtil::GetFloatOrDoubleElement(vars, 2), 2.5);
    EXPECT_EQ(VUtil::GetUShortElement(vars, 3), 65535);
    EXPECT_EQ(VUtil::GetDateElement(vars, 4), 86400 + 3661);
    EXPECT_HUX(VUtil::GetStringElement(vars, 1), L"Element is not a string");
    EXPECT_HUX(VUtil::GetLongElement(vars, 0), L"Element is not a long");
    EXPECT_HUX(VUtil::GetIntElement(vars, 0), L"Element is not an int");
    EXPECT_HUX(VUtil::GetBoolElement(vars, 0), L"Element is not a bool");
    EXPECT_HUX(VUtil::GetShortElement(vars, 0), L"Element is not a short");
    EXPECT_HUX(VUtil::GetDoubleElement(vars, 2), L"Element is not a double");
    EXPECT_HUX(VUtil::GetFloatOrDoubleElement(vars, 0), L"Element is not a float or a double");
    EXPECT_HUX(VUtil::GetDateElement(vars, 0), L"Element is not a date");
    EXPECT_HUX(VUtil::GetDateElement(vars, 9), L"SafeArrayGetElement failed in VUtil::GetDateElement");

    CComVariant doubles = array(VT_R8, 1);
    VUtil::PutElement(doubles, 0, 1.25);
    EXPECT_EQ(VUtil::GetDoubleElement(doubles, 0), 1.25);
    EXPECT_EQ(VUtil::GetFloatOrDoubleElement(doubles, 0), 1.25);
    EXPECT_HUX(VUtil::GetStringElement(doubles, 0), L"Not an array of variant or string");
    EXPECT_HUX(VUtil::GetUShortElement(doubles, 0), L"Not an array of variant or unsigned short");
    CComVariant longs = array(VT_I4, 1);
    EXPECT_HUX(VUtil::GetFloatOrDoubleElement(longs, 0), L"Not an array of variant, float or double");
}

TEST(VUtilElements, BytesElementIsCopiedOut) {
    CComVariant vars = array(VT_VARIANT, 2);
    CComVariant blob;
    const uint8_t bytes[] = {1, 2, 3};
    VUtil::PutBinaryIntoVariant(blob, bytes, 3);
    VUtil::PutElement(vars, 0, static_cast<const VARIANT&>(blob));
    std::unique_ptr<uint8_t[]> out;
    LONG length = 0;
    VUtil::GetBytesElement(vars, 0, out, length);
    ASSERT_EQ(length, 3);
    EXPECT_EQ(out[2], 3);
    EXPECT_HUX(VUtil::GetBytesElement(vars, 1, out, length), L"Element is not an unsigned char array");
    EXPECT_HUX(VUtil::GetBytesElement(blob, 0, out, length), L"Not an array of variant");
}

TEST(VUtilElements, PutNeedsTheValuesArrayTypeOrVariants) {
    CComVariant longs = array(VT_I4, 1);
    EXPECT_HUX(VUtil::PutElement(longs, 0, 1.5), L"PutElement failed: not an array of R8 nor VARIANT");
    EXPECT_HUX(VUtil::PutElement(longs, 0, L"x"), L"PutElement failed: not an array of BSTR nor VARIANT");
    EXPECT_HUX(VUtil::PutElement(longs, 0, static_cast<BYTE>(1)),
               L"PutElement failed: not an array of UI1 nor VARIANT");
    EXPECT_HUX(VUtil::PutDateElement(longs, 0, 0), L"PutElement failed: not an array of DATE nor VARIANT");
    EXPECT_HUX(VUtil::PutElement(longs, 3, static_cast<LONG>(1)), L"SafeArrayPutElement failed");
    CComVariant scalar(static_cast<LONG>(1));
    EXPECT_HUX(VUtil::PutElement(scalar, 0, static_cast<const VARIANT&>(scalar)),
               L"SafeArrayPutElement failed");
}

TEST(VUtilArrays, LengthNeedsAZeroBasedArray) {
    CComVariant v;
    v.vt = VT_ARRAY | VT_I4;
    v.parray = SafeArrayCreateVector(VT_I4, 1, 3);
    EXPECT_HUX(VUtil::GetArrayLength(v), L"Array is not zero indexed! (VUtil::GetArrayLength)");
    CComVariant scalar(static_cast<LONG>(3));
    EXPECT_HUX(VUtil::GetArrayLength(scalar), L"Variant passed to VUtil::GetArrayLength is not an array");
    EXPECT_HUX(VUtil::GetArrayLengthEmpty(scalar),
               L"Variant passed to VUtil::GetArrayLengthEmpty is not an array");
    CComVariant empty;
    EXPECT_EQ(VUtil::GetArrayLengthEmpty(empty), 0);
    CComVariant a = array(VT_BSTR, 4);
    EXPECT_EQ(VUtil::GetArrayLength(a), 4);
    VUtil::ResizeArray(a, 1);
    EXPECT_EQ(VUtil::GetArrayLength(a), 1);
    EXPECT_HUX(VUtil::ResizeArray(scalar, 2), L"Could not redimension safe array");
    EXPECT_HUX(VUtil::CreateArray(a, VT_I4, -1), L"Could not create safe array");
}

TEST(VUtilPairs, PutGetAndFind) {
    CComVariant list = array(VT_VARIANT, 4);
    // Element 0 stays a hole.
    VUtil::PutPair(list, 1, L"Channel", L"BBC");
    VUtil::PutPair(list, 2, L"Strength", static_cast<LONG>(80));
    CComVariant real;
    real.vt = VT_R8;
    real.dblVal = 1.5;
    VUtil::PutPair(list, 3, L"Ratio", real);

    std::wstring key, value;
    VUtil::GetPair(list, 1, key, value);
    EXPECT_EQ(key, L"Channel");
    EXPECT_EQ(value, L"BBC");
    EXPECT_HUX(VUtil::GetPair(list, 9, key, value), L"SafeArrayGetElement failed in VUtil::GetPair");

    EXPECT_TRUE(VUtil::FindPair(list, L"Channel", value));
    EXPECT_EQ(value, L"BBC");
    EXPECT_TRUE(VUtil::FindPair(list, L"Strength", value));
    EXPECT_EQ(value, L"80");
    LONG n = 0;
    EXPECT_TRUE(VUtil::FindPair(list, L"Strength", n));
    EXPECT_EQ(n, 80);
    EXPECT_FALSE(VUtil::FindPair(list, L"channel", value));  // keys compare exactly
    CComVariant v;
    EXPECT_TRUE(VUtil::FindPair(list, L"Ratio", v));
    EXPECT_EQ(v.vt, VT_R8);
    EXPECT_HUX(VUtil::FindPair(list, L"Ratio", value),
               L"the value in the pair is neither a string nor an int");

    CComVariant scalar(static_cast<LONG>(1));
    EXPECT_HUX(VUtil::FindPair(scalar, L"x", value), L"Variant passed to VUtil::FindPair is not an array");
    EXPECT_HUX(VUtil::GetPair(scalar, 0, key, value), L"Variant passed to VUtil::GetPair is not an array");
    CComVariant longs = array(VT_I4, 1);
    EXPECT_HUX(VUtil::PutPair(longs, 0, L"k", L"v"),
               L"PutPair: the given variant is not an array of variants");
    EXPECT_HUX(VUtil::PutPair(list, 7, L"k", L"v"), L"PutPair failed");
}

TEST(VUtilPairs, MapWithLowerCaseKeysKeepsTheLaterValue) {
    CComVariant list = pairList({{L"Name", L"first"}, {L"NAME", L"second"}, {L"Other", L"x"}});
    auto exact = VUtil::toStringAMap(list, false);
    EXPECT_EQ(exact.size(), 3u);
    auto lower = VUtil::toStringAMap(list, true);
    EXPECT_EQ(lower, (std::map<std::wstring, std::wstring>{{L"name", L"second"}, {L"other", L"x"}}));
    auto narrow = VUtil::toStringAMapNarrow(list, true);
    EXPECT_EQ(narrow["name"], "second");
    CComVariant scalar(L"x");
    EXPECT_HUX(VUtil::toStringAMap(scalar, true), L"Variant passed to VUtil::toStringAMap is not an array");
}

TEST(VUtilCodes, RetcodesAndTypeChecks) {
    CComVariant zero(static_cast<LONG>(0));
    VUtil::CheckSingleRetcode(zero);
    EXPECT_EQ(VUtil::GetSingleRetcode(zero), 0);
    CComVariant text(L"x");
    EXPECT_HUX(VUtil::CheckSingleRetcode(text),
               L"Hux error detected in VUtil::CheckSingleRetcode : hr = -1 - 0xffffffff");
    EXPECT_HUX(VUtil::CheckSingleRetcode(text, L"StartTVScan"),
               L"StartTVScan: Hux error detected in VUtil::CheckSingleRetcode : hr = -1 - 0xffffffff");
    EXPECT_HUX(VUtil::GetSingleRetcode(text), L"VUtil::GetSingleRetcode wrong type");

    CComVariant reply = array(VT_VARIANT, 2);
    VUtil::PutElement(reply, 0, static_cast<LONG>(0x80004005));
    VUtil::PutElement(reply, 1, L"out");
    EXPECT_EQ(VUtil::GetSingleRetcode(reply), static_cast<LONG>(0x80004005));
    EXPECT_HUX(VUtil::CheckSingleRetcode(reply),
               L"Hux error detected in VUtil::CheckSingleRetcode : hr = -2147467259 - 0x80004005");
    CComVariant badReply = array(VT_VARIANT, 1);
    VUtil::PutElement(badReply, 0, L"no");
    EXPECT_HUX(VUtil::GetSingleRetcode(badReply),
               L"safeArrayGetElement failed in VUtil::GetSingleRetcode : 'Element is not a long'");
    EXPECT_HUX(VUtil::CheckSingleRetcode(badReply),
               L"safeArrayGetElement failed in VUtil::CheckSingleRetcode : 'Element is not a long'");

    VUtil::checkType(text, VT_BSTR);
    EXPECT_HUX(VUtil::checkType(text, VT_I4, L"ctx"), L"ctx: checkType failed, got 8, expected 3");

    CComVariant three = array(VT_I4, 3), one = array(VT_I4, 1);
    EXPECT_EQ(VUtil::checkArrayType(three, VT_I4, 2, true), 3);
    EXPECT_HUX(VUtil::checkArrayType(one, VT_I4, 2, true), L"checkArrayType failed, got length 1, expect 2+");
    EXPECT_HUX(VUtil::checkArrayType(three, VT_I4, 2, false, L"c"),
               L"c: checkArrayType failed, got length 3, expect 2");
    EXPECT_HUX(VUtil::checkArrayType(three, VT_BSTR, 3, false),
               L"checkArrayType failed, got 8195, expected 8200");

    CComVariant out = array(VT_VARIANT, 1);
    VUtil::PutElement(out, 0, L"result");
    EXPECT_EQ(VUtil::GetSingleOutParamString(out), L"result");
    EXPECT_HUX(VUtil::GetSingleOutParamString(reply),
               L"outParam is not a BSTR in VUtil::GetSingleOutParamString");
    EXPECT_HUX(VUtil::GetSingleOutParamString(text),
               L"SafeArrayGetElement failed in VUtil::GetSingleOutParamString");
}

TEST(VUtilDates, ConvertBothWays) {
    EXPECT_EQ(VUtil::DateToSeconds(25569.0), 0);
    EXPECT_EQ(VUtil::DateToSeconds(25569.5), 43200);
    EXPECT_EQ(VUtil::DateToSeconds(25570.25), 86400 + 21600);
    EXPECT_DOUBLE_EQ(VUtil::SecondsToDate(86400 + 21600), 25570.25);
    for (int64_t s : {int64_t(0), int64_t(1), int64_t(1700000000), int64_t(86399)})
        EXPECT_EQ(VUtil::DateToSeconds(VUtil::SecondsToDate(s)), s);
}

TEST(VUtilXml, RendersNestedArraysWithIndent) {
    CComVariant list = array(VT_VARIANT, 2);
    VUtil::PutElement(list, 0, L"a");
    VUtil::PutElement(list, 1, static_cast<LONG>(5));
    std::wstring out;
    VUtil::ToXml(list, 0, out);
    EXPECT_EQ(out,
              L"<var vt=\"VT_ARRAY|VT_VARIANT\" count=\"2\">\r\n"
              L"  <var vt=\"VT_BSTR\">a</var>\r\n"
              L"  <var vt=\"VT_I4\">5</var>\r\n"
              L"</var>\r\n");
}

TEST(VUtilXml, RendersScalarsTypedArraysAndErrors) {
    CComVariant v;
    std::wstring out;
    v.vt = VT_R8;
    v.dblVal = 2.5;
    VUtil::ToXml(v, 1, out);
    v.vt = VT_DATE;
    v.date = 25569.5;
    VUtil::ToXml(v, 1, out);
    v.vt = VT_BOOL;
    v.boolVal = VARIANT_TRUE;
    VUtil::ToXml(v, 1, out);
    v.vt = VT_UI4;
    v.ulVal = 4000000000u;
    VUtil::ToXml(v, 1, out);
    v.vt = 99;
    VUtil::ToXml(v, 1, out);
    v.vt = VT_EMPTY;
    EXPECT_EQ(out,
              L"  <var vt=\"VT_R8\">2.500000</var>\r\n"
              L"  <var vt=\"VT_DATE\">1970-01-01 12:00:00</var>\r\n"
              L"  <var vt=\"VT_BOOL\">TRUE</var>\r\n"
              L"  <var vt=\"VT_UI4\">4000000000</var>\r\n"
              L"  <var vt=\"99 (unknown)\" />\r\n");

    CComVariant shorts = array(VT_I2, 2);
    VUtil::PutElement(shorts, 1, static_cast<SHORT>(-3));
    CComVariant bytes;
    const uint8_t b[] = {1, 2, 3};
    VUtil::PutBinaryIntoVariant(bytes, b, 3);
    out.clear();
    VUtil::ToXml(shorts, 0, out);
    VUtil::ToXml(bytes, 0, out);
    EXPECT_EQ(out,
              L"<var vt=\"VT_ARRAY|VT_I2\" count=\"2\">\r\n"
              L"<var vt=\"VT_I2\">0</var>\r\n"
              L"<var vt=\"VT_I2\">-3</var>\r\n"
              L"</var>\r\n"
              L"<var vt=\"VT_ARRAY|VT_UI1\" count=\"3\" />\r\n");

    CComVariant oneBased;
    oneBased.vt = VT_ARRAY | VT_I4;
    oneBased.parray = SafeArrayCreateVector(VT_I4, 1, 2);
    EXPECT_EQ(VUtil::Dump(L"reply", oneBased),
              L"Dumping reply:   <Error>Array is not zero indexed! (VUtil::GetArrayLength)</Error>\r\n");
}

}  // namespace
