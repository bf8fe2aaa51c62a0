#include <gtest/gtest.h>

#include "platform/com/Variant.h"

namespace {

constexpr IID IID_ITestA = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr IID IID_ITestB = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 9}};
constexpr IID IID_ITestB2 = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 10}};

struct ITestA : IUnknown {
    COM_INTERFACE(ITestA, IUnknown)
    virtual int a() = 0;
};
struct ITestB : IUnknown {
    COM_INTERFACE(ITestB, IUnknown)
    virtual int b() = 0;
};
struct ITestB2 : ITestB {
    COM_INTERFACE(ITestB2, ITestB)
    virtual int b2() = 0;
};

int g_alive = 0;
class Both : public ComObject<ITestA, ITestB2> {
public:
    Both() { ++g_alive; }
    ~Both() override { --g_alive; }
    int a() override { return 1; }
    int b() override { return 2; }
    int b2() override { return 3; }
};

TEST(ComObject, QueryInterfaceFindsListedAndExtendedInterfacesAndCounts) {
    {
        ComPtr<ITestA> a;
        a.Attach(CreateComObject<Both>());
        ComPtr<ITestB> b;
        ASSERT_EQ(S_OK, a.As(&b));  // ITestB is reached through ITestB2
        EXPECT_EQ(2, b->b());
        ComPtr<ITestB2> b2 = b.As<ITestB2>();
        ASSERT_TRUE(b2);
        EXPECT_EQ(3, b2->b2());
        EXPECT_TRUE(IsSameObject(a.Get(), b2.Get()));
        void* p = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(E_NOINTERFACE, a->QueryInterface(IID_IUnknown == IID_ITestA ? IID_ITestB : GUID_NULL, &p));
        EXPECT_EQ(nullptr, p);
        EXPECT_EQ(1, g_alive);
    }
    EXPECT_EQ(0, g_alive);
}

TEST(Guid, TextRoundTripAndRejectsBadText) {
    std::wstring t = GuidToString(IID_IUnknown);
    EXPECT_EQ(L"{00000000-0000-0000-C000-000000000046}", t);
    GUID g = GUID_NULL;
    ASSERT_TRUE(GuidFromString(L"{00000000-0000-0000-c000-000000000046}", &g));
    EXPECT_EQ(IID_IUnknown, g);
    EXPECT_FALSE(GuidFromString(L"{00000000-0000-0000-c000-00000000004}", &g));
    EXPECT_FALSE(GuidFromString(L"00000000-0000-0000-c000-00000000004g", &g));
    EXPECT_FALSE(GuidFromString(L"", &g));
}

TEST(Bstr, LengthPrefixedAndNullSafe) {
    BSTR s = SysAllocStringLen(L"ab\0cd", 5);
    EXPECT_EQ(5u, SysStringLen(s));
    EXPECT_EQ(0, s[5]);
    SysFreeString(s);
    EXPECT_EQ(0u, SysStringLen(nullptr));
    SysFreeString(nullptr);
    CComBSTR c(std::wstring(L"x\u00e9"));
    EXPECT_EQ(L"x\u00e9", c.str());
}

TEST(SafeArray, BoundsLowerBoundAndElementFailures) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, 1, 3);
    ASSERT_NE(nullptr, psa);
    LONG lb = 0, ub = 0;
    EXPECT_EQ(S_OK, SafeArrayGetLBound(psa, 1, &lb));
    EXPECT_EQ(S_OK, SafeArrayGetUBound(psa, 1, &ub));
    EXPECT_EQ(1, lb);
    EXPECT_EQ(3, ub);
    LONG i = 0, v = 7;
    EXPECT_EQ(DISP_E_BADINDEX, SafeArrayPutElement(psa, &i, &v));
    i = 3;
    EXPECT_EQ(S_OK, SafeArrayPutElement(psa, &i, &v));
    LONG out = 0;
    EXPECT_EQ(S_OK, SafeArrayGetElement(psa, &i, &out));
    EXPECT_EQ(7, out);
    i = 4;
    EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetElement(psa, &i, &out));
    EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetLBound(psa, 2, &lb));
    SAFEARRAYBOUND nb{0, 0};
    EXPECT_EQ(S_OK, SafeArrayRedim(psa, &nb));
    EXPECT_EQ(S_OK, SafeArrayGetUBound(psa, 1, &ub));
    EXPECT_EQ(-1, ub);
    SafeArrayDestroy(psa);
    EXPECT_EQ(nullptr, SafeArrayCreateVector(VT_NULL, 0, 1));
}

TEST(Variant, NestedArraysCopyDeeplyAndClearFreesEverything) {
    // [ "key", [1, "two"] ] - run under ASan this also proves nothing leaks or is freed twice.
    CComVariant outer;
    outer.vt = VT_ARRAY | VT_VARIANT;
    outer.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    CComVariant key(L"key");
    LONG i = 0;
    ASSERT_EQ(S_OK, SafeArrayPutElement(outer.parray, &i, &key));
    CComVariant inner;
    inner.vt = VT_ARRAY | VT_VARIANT;
    inner.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    CComVariant one(LONG(1)), two(L"two");
    ASSERT_EQ(S_OK, SafeArrayPutElement(inner.parray, &i, &one));
    i = 1;
    ASSERT_EQ(S_OK, SafeArrayPutElement(inner.parray, &i, &two));
    ASSERT_EQ(S_OK, SafeArrayPutElement(outer.parray, &i, &inner));
    ASSERT_EQ(S_OK, SafeArrayPutElement(outer.parray, &i, &inner));  // replaces, frees the old one

    CComVariant copy(outer);
    outer.Clear();
    CComVariant got;
    ASSERT_EQ(S_OK, SafeArrayGetElement(copy.parray, &i, &got));
    ASSERT_EQ(VT_ARRAY | VT_VARIANT, got.vt);
    CComVariant s;
    ASSERT_EQ(S_OK, SafeArrayGetElement(got.parray, &i, &s));
    ASSERT_EQ(VT_BSTR, s.vt);
    EXPECT_STREQ(L"two", s.bstrVal);

    SAFEARRAY* bs = SafeArrayCreateVector(VT_BSTR, 0, 1);
    BSTR b = SysAllocString(L"z");
    i = 0;
    ASSERT_EQ(S_OK, SafeArrayPutElement(bs, &i, b));  // BSTR elements are passed by value
    SysFreeString(b);
    BSTR back = nullptr;
    ASSERT_EQ(S_OK, SafeArrayGetElement(bs, &i, &back));
    EXPECT_STREQ(L"z", back);
    SysFreeString(back);
    SafeArrayDestroy(bs);
}

}  // namespace
