#include "tools/pelmo-bus/BusValueText.h"

#include <gtest/gtest.h>

namespace {

std::string through(const std::string& text) {
    CComVariant v;
    std::string why;
    EXPECT_TRUE(BusValueText::parse(text, &v, why)) << text << ": " << why;
    return BusValueText::format(v);
}

TEST(BusValueText, TypedValuesReadBackAsWritten) {
    for (const char* text : {"i1:-128",
                             "ui1:255",
                             "i2:-2",
                             "ui2:65535",
                             "i4:-2147483648",
                             "ui4:4294967295",
                             "int:7",
                             "uint:8",
                             "i8:-9223372036854775808",
                             "ui8:18446744073709551615",
                             "cy:12345",
                             "error:0x80004005",
                             "r8:2.5",
                             "r4:0.5",
                             "bool:true",
                             "bool:false",
                             "empty",
                             "null",
                             "date:2026-12-06T10:30:00",
                             "bytes:00ff10",
                             "s:\"Das Erste\""}) {
        std::string expected = text;
        if (expected == "s:\"Das Erste\"") {
            EXPECT_EQ(through("s:Das Erste"), expected);
            continue;
        }
        EXPECT_EQ(through(text), expected);
    }
    EXPECT_EQ(through("i4:0x10"), "i4:16");
    EXPECT_EQ(through("date:46362.4375"), "date:2026-12-06T10:30:00");
    EXPECT_EQ(through("date:2024-02-29"), "date:2024-02-29T00:00:00");
    EXPECT_EQ(through("date:2000-02-29T23:59:59"), "date:2000-02-29T23:59:59");
    EXPECT_EQ(through("s:"), "s:\"\"");
    EXPECT_EQ(through("s:a:b"), "s:\"a:b\"");
}

TEST(BusValueText, TypesAreKept) {
    CComVariant v;
    std::string why;
    ASSERT_TRUE(BusValueText::parse("ui2:7", &v, why));
    EXPECT_EQ(v.vt, VT_UI2);
    EXPECT_EQ(v.uiVal, 7);
    ASSERT_TRUE(BusValueText::parse("error:0x80004005", &v, why));
    EXPECT_EQ(v.vt, VT_ERROR);
    EXPECT_EQ(v.scode, E_FAIL);
    ASSERT_TRUE(BusValueText::parse("date:1970-01-01", &v, why));
    EXPECT_EQ(v.vt, VT_DATE);
    EXPECT_EQ(v.date, 25569.0);
}

TEST(BusValueText, ArraysPrintNested) {
    EXPECT_EQ(through(R"(json:{"vt":"ARRAY|VARIANT","v":[{"vt":"BSTR","v":"T"},{"vt":"ARRAY|VARIANT","v":[)"
                      R"({"vt":"ARRAY|VARIANT","v":[{"vt":"BSTR","v":"ZDF"},{"vt":"I4","v":85}]}]}]})"),
              R"([s:"T", [[s:"ZDF", i4:85]]])");
    EXPECT_EQ(through(R"(json:{"vt":"ARRAY|I4","v":[1,-2]})"), "i4[1, -2]");
    EXPECT_EQ(through(R"(json:{"vt":"ARRAY|BSTR","v":["a\"b"]})"), R"(s["a\"b"])");
}

TEST(BusValueText, BadValuesSayWhy) {
    struct Case {
        const char* text;
        const char* reason;
    } cases[] = {
        {"5", "has no type"},
        {"i4:", "needs a number"},
        {"i4:2147483648", "not a i4"},
        {"ui4:-1", "not a ui4"},
        {"i1:12x", "not a i1"},
        {"r8:abc", "not a r8"},
        {"r4:1e39", "not a r4"},
        {"bool:yes", "true or false"},
        {"date:2026-13-01", "date:"},
        {"bytes:0", "even number"},
        {"bytes:zz", "not hex"},
        {"bytes:-1", "not hex"},
        {"q:1", "unknown type"},
        {"json:{\"vt\":\"I4\"}", "without"},
        // Dates that do not exist, or with something after them, are not moved to a nearby one.
        {"date:2026-02-31", "\"2026-02-31\" is not a date that exists"},
        {"date:2026-02-29", "date:"},
        {"date:2026-04-31", "date:"},
        {"date:2026-01-01T24:00:00", "date:"},
        {"date:2026-01-01T10:00:60", "date:"},
        {"date:2026-01-01x", "date:"},
        {"date:2026-01-01T10:00", "date:"},
        {"date:2026-1-01", "date:"},
    };
    for (const auto& c : cases) {
        CComVariant v;
        std::string why;
        EXPECT_FALSE(BusValueText::parse(c.text, &v, why)) << c.text;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.text << ": " << why;
        EXPECT_EQ(v.vt, VT_EMPTY) << c.text;
    }
}

}  // namespace
