#include "platform/hux/HuxWireFormat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/hux/HuxTestValues.h"

namespace {

CComVariant scalar(VARTYPE vt, const void* value, size_t size) {
    CComVariant v;
    v.vt = vt;
    std::memcpy(&v.llVal, value, size);
    return v;
}

template <class T>
CComVariant scalarOf(VARTYPE vt, T value) {
    return scalar(vt, &value, sizeof value);
}

CComVariant roundTrip(const VARIANT& in) {
    std::string json, why;
    EXPECT_TRUE(HuxWireFormat::encodeVariant(in, json, why)) << why;
    CComVariant out;
    EXPECT_TRUE(HuxWireFormat::decodeVariant(json.data(), json.size(), &out, why)) << why << " in " << json;
    return out;
}

std::string encoded(const VARIANT& in) {
    std::string json, why;
    EXPECT_TRUE(HuxWireFormat::encodeVariant(in, json, why)) << why;
    return json;
}

// Equal type codes all the way down, equal values, equal array bounds.
void expectSame(const VARIANT& a, const VARIANT& b, const std::string& where = "top") {
    ASSERT_EQ(a.vt, b.vt) << where;
    if (a.vt & VT_ARRAY) {
        ASSERT_EQ(a.parray == nullptr, b.parray == nullptr) << where;
        if (!a.parray) return;
        ASSERT_EQ(a.parray->rgsabound[0].cElements, b.parray->rgsabound[0].cElements) << where;
        ASSERT_EQ(a.parray->rgsabound[0].lLbound, b.parray->rgsabound[0].lLbound) << where;
        VARTYPE elem = a.vt & VT_TYPEMASK;
        for (ULONG i = 0; i < a.parray->rgsabound[0].cElements; ++i) {
            const char* pa = static_cast<const char*>(a.parray->pvData) + i * a.parray->cbElements;
            const char* pb = static_cast<const char*>(b.parray->pvData) + i * b.parray->cbElements;
            std::string at = where + "[" + std::to_string(i) + "]";
            if (elem == VT_VARIANT) {
                expectSame(*reinterpret_cast<const VARIANT*>(pa), *reinterpret_cast<const VARIANT*>(pb), at);
            } else {
                CComVariant ea, eb;
                ea.vt = eb.vt = elem;
                std::memcpy(&ea.llVal, pa, a.parray->cbElements);
                std::memcpy(&eb.llVal, pb, b.parray->cbElements);
                if (elem == VT_BSTR) {
                    // The array still owns these strings.
                    std::wstring sa(ea.bstrVal ? ea.bstrVal : L"", ea.bstrVal ? SysStringLen(ea.bstrVal) : 0);
                    std::wstring sb(eb.bstrVal ? eb.bstrVal : L"", eb.bstrVal ? SysStringLen(eb.bstrVal) : 0);
                    EXPECT_EQ(sa, sb) << at;
                    ea.vt = eb.vt = VT_EMPTY;
                } else {
                    expectSame(ea, eb, at);
                }
            }
        }
        return;
    }
    switch (a.vt) {
        case VT_BSTR:
            EXPECT_EQ(std::wstring(a.bstrVal, SysStringLen(a.bstrVal)),
                      std::wstring(b.bstrVal, SysStringLen(b.bstrVal)))
                << where;
            break;
        case VT_R4:
            if (std::isnan(a.fltVal))
                EXPECT_TRUE(std::isnan(b.fltVal)) << where;
            else
                EXPECT_EQ(a.fltVal, b.fltVal) << where;
            break;
        case VT_R8:
        case VT_DATE:
            if (std::isnan(a.dblVal))
                EXPECT_TRUE(std::isnan(b.dblVal)) << where;
            else
                EXPECT_EQ(a.dblVal, b.dblVal) << where;
            break;
        case VT_BOOL:
            EXPECT_EQ(a.boolVal != 0, b.boolVal != 0) << where;
            break;
        case VT_EMPTY:
        case VT_NULL:
            break;
        default:
            EXPECT_EQ(std::memcmp(&a.llVal, &b.llVal, SafeArrayElementSize(a.vt)), 0) << where;
    }
}

TEST(HuxWireFormat, ScalarsKeepTypeAndValueAtTheirLimits) {
    std::vector<CComVariant> values = {
        CComVariant(),
        scalarOf<int>(VT_NULL, 0),
        scalarOf<int8_t>(VT_I1, -128),
        scalarOf<uint8_t>(VT_UI1, 255),
        scalarOf<int16_t>(VT_I2, -32768),
        scalarOf<uint16_t>(VT_UI2, 65535),
        scalarOf<int32_t>(VT_I4, std::numeric_limits<int32_t>::min()),
        scalarOf<uint32_t>(VT_UI4, 4000000000u),
        scalarOf<int32_t>(VT_INT, -7),
        scalarOf<uint32_t>(VT_UINT, 7),
        scalarOf<int64_t>(VT_I8, std::numeric_limits<int64_t>::min()),
        scalarOf<uint64_t>(VT_UI8, std::numeric_limits<uint64_t>::max()),
        scalarOf<int64_t>(VT_CY, 123456789012345LL),
        scalarOf<int32_t>(VT_ERROR, E_FAIL),
        scalarOf<float>(VT_R4, 1.1f),
        scalarOf<double>(VT_R8, 0.1 + 0.2),
        scalarOf<double>(VT_R8, std::numeric_limits<double>::quiet_NaN()),
        scalarOf<double>(VT_R8, -std::numeric_limits<double>::infinity()),
        scalarOf<float>(VT_R4, std::numeric_limits<float>::infinity()),
        scalarOf<double>(VT_DATE, 46362.123456789012),
        CComVariant(true),
        CComVariant(false),
        CComVariant(std::wstring(L"Das Erste HD \u00e9\u4e2d\U0001F600\0tail", 21)),
        CComVariant(L""),
    };
    for (const auto& v : values) {
        SCOPED_TRACE(encoded(v));
        CComVariant back = roundTrip(v);
        expectSame(v, back);
    }
}

TEST(HuxWireFormat, ShowsReadableTypeNames) {
    EXPECT_EQ(encoded(CComVariant(LONG(5))), R"({"vt":"I4","v":5})");
    EXPECT_EQ(encoded(CComVariant(L"\u00e9")), "{\"vt\":\"BSTR\",\"v\":\"\xC3\xA9\"}");
    EXPECT_EQ(encoded(CComVariant()), R"({"vt":"EMPTY"})");
    EXPECT_EQ(encoded(variantArray({CComVariant(true)})),
              R"({"vt":"ARRAY|VARIANT","v":[{"vt":"BOOL","v":true}]})");
}

TEST(HuxWireFormat, ScanResultShapeRoundTripsWithTypeCodes) {
    std::vector<CComVariant> items;
    for (int i = 0; i < 3; ++i)
        items.push_back(
            variantArray({CComVariant(L"Channel " + std::to_wstring(i)),
                          CComVariant(L"device://tv.channel.dvbt/#/474000/8/9018/4100/" + std::to_wstring(i)),
                          CComVariant(LONG(80 + i)), CComVariant(L"474000")}));
    CComVariant result = variantArray({CComVariant(L"Tuner 1"), variantArray(items)});
    CComVariant back = roundTrip(result);
    expectSame(result, back);

    CComVariant empty = variantArray({CComVariant(L"Tuner 1"), variantArray({})});
    expectSame(empty, roundTrip(empty));
}

TEST(HuxWireFormat, TypedArraysKeepTheirElements) {
    CComVariant ints;
    ints.vt = VT_ARRAY | VT_I4;
    ints.parray = SafeArrayCreateVector(VT_I4, 0, 3);
    for (LONG i = 0; i < 3; ++i) {
        LONG value = -i * 1000;
        SafeArrayPutElement(ints.parray, &i, &value);
    }
    expectSame(ints, roundTrip(ints));

    CComVariant strings;
    strings.vt = VT_ARRAY | VT_BSTR;
    strings.parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
    LONG i0 = 0;
    CComBSTR eins(L"eins");
    SafeArrayPutElement(strings.parray, &i0, eins.m_str);  // element 1 stays a null BSTR
    expectSame(strings, roundTrip(strings));

    CComVariant bools;
    bools.vt = VT_ARRAY | VT_BOOL;
    bools.parray = SafeArrayCreateVector(VT_BOOL, 0, 2);
    VARIANT_BOOL t = VARIANT_TRUE;
    SafeArrayPutElement(bools.parray, &i0, &t);
    expectSame(bools, roundTrip(bools));
}

TEST(HuxWireFormat, ByteArraysOfEveryLengthAndValue) {
    for (ULONG len : {0u, 1u, 2u, 3u, 4u, 256u}) {
        CComVariant bytes;
        bytes.vt = VT_ARRAY | VT_UI1;
        bytes.parray = SafeArrayCreateVector(VT_UI1, 0, len);
        for (ULONG i = 0; i < len; ++i) static_cast<BYTE*>(bytes.parray->pvData)[i] = BYTE(255 - i);
        SCOPED_TRACE(len);
        expectSame(bytes, roundTrip(bytes));
    }
}

CComVariant nested(int depth) {
    CComVariant v(LONG(1));
    for (int i = 0; i < depth; ++i) v = variantArray({v});
    return v;
}

TEST(HuxWireFormat, NestingIsLimitedOnBothSides) {
    CComVariant deepest = nested(HuxWireFormat::kMaxDepth);
    expectSame(deepest, roundTrip(deepest));

    std::string json, why;
    EXPECT_FALSE(HuxWireFormat::encodeVariant(nested(HuxWireFormat::kMaxDepth + 1), json, why));
    EXPECT_NE(why.find("deeper"), std::string::npos) << why;

    // Built by hand, one level too deep for the decoder.
    std::string deep = R"({"vt":"I4","v":1})";
    for (int i = 0; i <= HuxWireFormat::kMaxDepth; ++i) deep = R"({"vt":"ARRAY|VARIANT","v":[)" + deep + "]}";
    CComVariant out;
    EXPECT_FALSE(HuxWireFormat::decodeVariant(deep.data(), deep.size(), &out, why));
    EXPECT_EQ(out.vt, VT_EMPTY);

    // A bracket bomb is refused before parsing, without deep recursion.
    std::string bomb(200000, '[');
    EXPECT_FALSE(HuxWireFormat::decodeVariant(bomb.data(), bomb.size(), &out, why));
    EXPECT_NE(why.find("nested deeper"), std::string::npos) << why;
}

TEST(HuxWireFormat, MalformedVariantsAreRefusedWithAReason) {
    struct Case {
        std::string json;
        std::string reason;
    } cases[] = {
        {"", "not JSON"},
        {R"({"vt":"I4","v":5)", "not JSON"},
        {R"([1,2])", "JSON object"},
        {R"({"v":5})", "without \"vt\""},
        {R"({"vt":"I5","v":5})", "unknown type"},
        {R"({"vt":9999,"v":5})", "unknown type code"},
        {R"({"vt":"I4"})", "without \"v\""},
        {R"({"vt":"I1","v":128})", "bad value for I1"},
        {R"({"vt":"UI4","v":-1})", "bad value for UI4"},
        {R"({"vt":"UI8","v":-1})", "bad value for UI8"},
        {R"({"vt":"I4","v":1.5})", "bad value for I4"},
        {R"({"vt":"I4","v":"5"})", "bad value for I4"},
        {R"({"vt":"R4","v":1e300})", "bad value for R4"},
        {R"({"vt":"R8","v":"nan"})", "bad value for R8"},
        {R"({"vt":"BOOL","v":1})", "bad value for BOOL"},
        {R"({"vt":"BSTR","v":5})", "bad value for BSTR"},
        {"{\"vt\":\"BSTR\",\"v\":\"\xC3\x28\"}", "not JSON"},
        {R"({"vt":"BSTR","v":"\ud800"})", "not JSON"},
        {R"({"vt":"VARIANT","v":5})", "unknown type"},
        {R"({"vt":"ARRAY|EMPTY","v":[]})", "unknown type"},
        {R"({"vt":"ARRAY|I4","v":5})", "needs a JSON array"},
        {R"({"vt":"ARRAY|I4","v":[1,"x"]})", "bad value for I4"},
        {R"({"vt":"ARRAY|I4","v":[1],"lb":0})", ""},
        {R"({"vt":"ARRAY|I4","v":[1],"lb":1})", "\"lb\" must be 0"},
        {R"({"vt":"ARRAY|I4","v":[1],"lb":-1})", "\"lb\" must be 0"},
        {R"({"vt":"ARRAY|I4","v":[1,2],"lb":2147483647})", "\"lb\" must be 0"},
        {R"({"vt":"ARRAY|I4","v":[],"lb":"x"})", "\"lb\""},
        {R"({"vt":"ARRAY|I4","v":null})", "without elements"},
        {R"({"vt":"ARRAY|VARIANT","v":[{"vt":"ARRAY|BSTR","v":null}]})", "without elements"},
        {R"({"vt":"ARRAY|VARIANT","v":[{"vt":"ARRAY|I4","v":[],"lb":3}]})", "\"lb\" must be 0"},
        {R"({"vt":"ARRAY|UI1","v":"AAE"})", "base64"},
        {R"({"vt":"ARRAY|UI1","v":"AA=E"})", "base64"},
        {R"({"vt":"ARRAY|UI1","v":[1,2]})", "base64"},
        {R"({"vt":"ARRAY|VARIANT","v":[{"vt":"I4","v":1},{"vt":"BSTR"}]})", "without \"v\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        CComVariant out;
        std::string why;
        bool ok = HuxWireFormat::decodeVariant(c.json.data(), c.json.size(), &out, why);
        if (c.reason.empty()) {
            EXPECT_TRUE(ok) << why;
            continue;
        }
        EXPECT_FALSE(ok);
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
        EXPECT_EQ(out.vt, VT_EMPTY);
    }
}

TEST(HuxWireFormat, OversizedPayloadIsRefusedUnread) {
    std::string big = R"({"vt":"BSTR","v":")" + std::string(HuxWireFormat::kMaxPayload, 'x') + "\"}";
    CComVariant out;
    std::string why;
    EXPECT_FALSE(HuxWireFormat::decodeVariant(big.data(), big.size(), &out, why));
    EXPECT_NE(why.find("larger than the limit"), std::string::npos) << why;
}

TEST(HuxWireFormat, ValuesTheWireCannotCarryAreRefused) {
    std::string json, why;
    CComVariant unknown;
    unknown.vt = VT_UNKNOWN;
    EXPECT_FALSE(HuxWireFormat::encodeVariant(unknown, json, why));
    CComVariant odd;
    odd.vt = 0x4003;  // a by-reference flag
    EXPECT_FALSE(HuxWireFormat::encodeVariant(odd, json, why));
    CComVariant mismatched;
    mismatched.vt = VT_ARRAY | VT_I4;
    mismatched.parray = SafeArrayCreateVector(VT_I2, 0, 1);
    EXPECT_FALSE(HuxWireFormat::encodeVariant(mismatched, json, why));
    EXPECT_NE(why.find("other elements"), std::string::npos) << why;
    // The sender refuses what the receiver would: no shifted arrays, no array variant without one.
    CComVariant shifted;
    shifted.vt = VT_ARRAY | VT_I4;
    shifted.parray = SafeArrayCreateVector(VT_I4, 1, 2);
    EXPECT_FALSE(HuxWireFormat::encodeVariant(variantArray({CComVariant(LONG(1)), shifted}), json, why));
    EXPECT_NE(why.find("index 0"), std::string::npos) << why;
    CComVariant missing;
    missing.vt = VT_ARRAY | VT_VARIANT;
    EXPECT_FALSE(HuxWireFormat::encodeVariant(missing, json, why));
    EXPECT_NE(why.find("without an array"), std::string::npos) << why;
}

TEST(HuxWireFormat, Utf8JoinsSurrogatePairsAndRejectsIllFormedInput) {
    EXPECT_EQ(HuxWireFormat::toUtf8(std::wstring{0xD83D, 0xDE00}), "\xF0\x9F\x98\x80");
    EXPECT_EQ(HuxWireFormat::toUtf8(std::wstring{0xD83D, L'a'}),
              "\xEF\xBF\xBD"
              "a");
    EXPECT_EQ(HuxWireFormat::toUtf8(std::wstring{wchar_t(0x110000)}), "\xEF\xBF\xBD");

    std::wstring out;
    EXPECT_TRUE(HuxWireFormat::fromUtf8("a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", out));
    EXPECT_EQ(out, L"a\u00e9\u4e2d\U0001F600");
    for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE4\xB8", "\x80", "\xFF"})
        EXPECT_FALSE(HuxWireFormat::fromUtf8(bad, out)) << bad;
}

TEST(HuxWireFormat, RequestAndReplyEnvelopes) {
    std::string json, why;
    CComVariant args(LONG(12));
    ASSERT_TRUE(HuxWireFormat::encodeRequest("Skyvane1", "any", L"STBTuneToChannel", args, json, why));
    HuxRequestMessage req;
    ASSERT_TRUE(HuxWireFormat::decodeRequest(json.data(), json.size(), req, why)) << why;
    EXPECT_EQ(req.from, "Skyvane1");
    EXPECT_EQ(req.target, "any");
    EXPECT_EQ(req.service, L"STBTuneToChannel");
    expectSame(args, req.args);

    CComVariant value(L"done");
    ASSERT_TRUE(HuxWireFormat::encodeReply("ir", E_INVALIDARG, value, "bad channel", json, why));
    HuxReplyMessage rep;
    ASSERT_TRUE(HuxWireFormat::decodeReply(json.data(), json.size(), rep, why)) << why;
    EXPECT_EQ(rep.status, E_INVALIDARG);
    EXPECT_EQ(rep.error, "bad channel");
    expectSame(value, rep.reply);

    for (std::string bad :
         {R"({"hux":2,"service":"X"})", R"({"hux":1})", R"({"hux":1,"service":""})",
          R"({"hux":1,"service":"X","from":5})", R"({"hux":1,"service":"X","args":{"vt":"Q"}})"}) {
        EXPECT_FALSE(HuxWireFormat::decodeRequest(bad.data(), bad.size(), req, why)) << bad;
        EXPECT_EQ(req.args.vt, VT_EMPTY);
    }
    for (std::string bad : {R"({"hux":1})", R"({"hux":1,"status":4294967296})", R"({"hux":1,"status":"0"})"})
        EXPECT_FALSE(HuxWireFormat::decodeReply(bad.data(), bad.size(), rep, why)) << bad;
}

TEST(HuxWireFormat, PresenceListsServices) {
    std::string json = HuxWireFormat::encodePresence("tv", {"StartTVScan", "StopTVScan"});
    std::vector<std::string> services;
    std::string why;
    ASSERT_TRUE(HuxWireFormat::decodePresence(json.data(), json.size(), services, why)) << why;
    EXPECT_EQ(services, (std::vector<std::string>{"StartTVScan", "StopTVScan"}));
    EXPECT_TRUE(HuxWireFormat::decodePresence("", 0, services, why));
    EXPECT_TRUE(services.empty());
    std::string bad = R"({"hux":1,"services":["a",2]})";
    EXPECT_FALSE(HuxWireFormat::decodePresence(bad.data(), bad.size(), services, why));
}

}  // namespace
