#include "platform/registry/Hive.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::wstring text(const Hive::Value* v) {
    if (!v || v->type != REG_SZ) return L"<not a string>";
    return std::wstring(reinterpret_cast<const wchar_t*>(v->data.data()));
}

DWORD dword(const Hive::Value* v) {
    DWORD d = 0xFFFFFFFF;
    if (v && v->data.size() == 4) std::memcpy(&d, v->data.data(), 4);
    return d;
}

TEST(Hive, ReadsEveryValueForm) {
    Hive h(L"HKEY_LOCAL_MACHINE");
    std::string error;
    ASSERT_TRUE(
        h.parse("\xEF\xBB\xBFREGEDIT4\r\n\r\n"
                "; comment\r\n"
                "[HKEY_LOCAL_MACHINE\\Software\\Kelvarin\\Pelmo]\r\n"
                "\"LogLevel\"=dword:00000004\r\n"
                "\"InstallDir\"=\"C:\\\\Pelmo \\\"x\\\" caf\xC3\xA9\"\r\n"
                "\"Blob\"=hex:01,02,\\\r\n"
                "  ff\r\n"
                "@=\"default\"\r\n"
                "\"Multi\"=hex(7):61,00\r\n",
                &error))
        << error;
    Hive::Key* k = h.findKey(L"software\\KELVARIN\\pelmo");
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->path, L"Software\\Kelvarin\\Pelmo");
    EXPECT_EQ(dword(Hive::findValue(*k, L"loglevel")), 4u);
    EXPECT_EQ(text(Hive::findValue(*k, L"InstallDir")), L"C:\\Pelmo \"x\" caf\u00E9");
    Hive::Value* blob = Hive::findValue(*k, L"Blob");
    ASSERT_NE(blob, nullptr);
    EXPECT_EQ(blob->type, REG_BINARY);
    EXPECT_EQ(blob->data, (std::vector<uint8_t>{1, 2, 0xFF}));
    EXPECT_EQ(text(Hive::findValue(*k, L"")), L"default");
    EXPECT_EQ(Hive::findValue(*k, L"Multi")->type, REG_MULTI_SZ);
    // The parents exist too.
    EXPECT_NE(h.findKey(L"Software"), nullptr);
    EXPECT_EQ(h.subKeyCount(L"Software"), 1u);
}

TEST(Hive, WritesWhatItReads) {
    Hive h(L"HKEY_CURRENT_USER");
    Hive::Key& k = h.createKey(L"\\Software\\\\A\\");
    EXPECT_EQ(k.path, L"Software\\A");
    auto s = Hive::stringData(L"quote \" back \\ \u20AC");
    Hive::setValue(k, L"Name \"q\"", REG_SZ, s.data(), s.size());
    auto d = Hive::dwordData(0xDEADBEEF);
    Hive::setValue(k, L"D", REG_DWORD, d.data(), d.size());
    uint8_t odd[] = {9, 8, 7};
    Hive::setValue(k, L"Odd", REG_DWORD, odd, 3);  // not 4 bytes: must survive as raw hex
    auto lines = Hive::stringData(L"two\nlines");
    Hive::setValue(k, L"Lines", REG_SZ, lines.data(), lines.size());

    Hive back(L"HKEY_CURRENT_USER");
    std::string error;
    ASSERT_TRUE(back.parse(h.serialize(), &error)) << error << "\n" << h.serialize();
    Hive::Key* k2 = back.findKey(L"Software\\A");
    ASSERT_NE(k2, nullptr);
    EXPECT_EQ(text(Hive::findValue(*k2, L"name \"Q\"")), L"quote \" back \\ \u20AC");
    EXPECT_EQ(dword(Hive::findValue(*k2, L"D")), 0xDEADBEEFu);
    EXPECT_EQ(Hive::findValue(*k2, L"Odd")->data, (std::vector<uint8_t>{9, 8, 7}));
    EXPECT_EQ(text(Hive::findValue(*k2, L"Lines")), L"two\nlines");
}

TEST(Hive, ReplacesAndDeletesValuesWithoutRegardToCase) {
    Hive h(L"HKEY_LOCAL_MACHINE");
    Hive::Key& k = h.createKey(L"K");
    auto a = Hive::dwordData(1), b = Hive::dwordData(2);
    Hive::setValue(k, L"Value", REG_DWORD, a.data(), a.size());
    Hive::setValue(k, L"VALUE", REG_DWORD, b.data(), b.size());
    ASSERT_EQ(k.values.size(), 1u);
    EXPECT_EQ(k.values[0].name, L"Value");
    EXPECT_EQ(dword(&k.values[0]), 2u);
    EXPECT_TRUE(Hive::deleteValue(k, L"value"));
    EXPECT_FALSE(Hive::deleteValue(k, L"value"));
}

TEST(Hive, DamagedTextIsReadUpToTheFirstBadLine) {
    const char* good = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:1\n";
    const std::string tails[] = {
        "\"y\"=dword:123456789\n",  // nine digits
        "\"y\"=dword:\n",
        "\"y\"=\"unterminated\n",
        "\"y\"=\"ok\" trailing\n",
        "\"y\"=hex:zz\n",
        "\"y\"=hex(:01\n",
        "\"y\"=hex:01,\\\n",  // continuation cut off by the end of the file
        "\"y\"=\"bad \\q escape\"\n",
        "\"y\"\n",
        "[HKEY_CURRENT_USER\\B]\n",  // another hive
        "[HKEY_LOCAL_MACHINEX\\B]\n",
        "[HKEY_LOCAL_MACHINE\\B\n",
        "garbage\n",
        "\"y\"=-\n",
        std::string("\"y\"=\"a\0b\"\n", 11),
    };
    for (const std::string& tail : tails) {
        Hive h(L"HKEY_LOCAL_MACHINE");
        std::string error;
        std::string input = std::string(good) + tail + "[HKEY_LOCAL_MACHINE\\Later]\n\"z\"=dword:2\n";
        EXPECT_FALSE(h.parse(input, &error)) << tail;
        EXPECT_FALSE(error.empty());
        Hive::Key* a = h.findKey(L"A");
        ASSERT_NE(a, nullptr) << tail;
        EXPECT_EQ(dword(Hive::findValue(*a, L"x")), 1u) << tail;
        EXPECT_EQ(Hive::findValue(*a, L"y"), nullptr) << tail;
        EXPECT_EQ(h.findKey(L"Later"), nullptr) << tail;
    }
}

TEST(Hive, NeedsTheHeaderAndAKeyBeforeValues) {
    Hive h(L"HKEY_LOCAL_MACHINE");
    EXPECT_FALSE(h.parse("[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:1\n"));
    EXPECT_EQ(h.findKey(L"A"), nullptr);
    Hive h2(L"HKEY_LOCAL_MACHINE");
    EXPECT_FALSE(h2.parse("REGEDIT4\n\"x\"=dword:1\n"));
    Hive h3(L"HKEY_LOCAL_MACHINE");
    EXPECT_TRUE(h3.parse(""));
    EXPECT_TRUE(h3.parse("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE]\n@=dword:5\n"));
    ASSERT_NE(h3.findKey(L""), nullptr);
    // Bytes that are not UTF-8 stay visible as replacement characters rather than vanish.
    Hive h4(L"HKEY_LOCAL_MACHINE");
    EXPECT_TRUE(h4.parse("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"n\"=\"a\xFF\xC3\"\n"));
    EXPECT_EQ(text(Hive::findValue(*h4.findKey(L"A"), L"n")), L"a\uFFFD\uFFFD");
}

}  // namespace

namespace {

TEST(Hive, OverlongSequencesCannotSmuggleZerosOrLineFeedsIntoNames) {
    // "\xC0\x80" is an overlong zero, "\xC0\x8A" an overlong line feed, "\xE0\x80\xDD" an overlong ']'.
    const std::string file =
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\So\xC0\x80" "ft\xE0\x80\xDD]\n\"N\xC0\x8A\"=\"v\xF4\x90\x80\x80\"\n";
    Hive h(L"HKEY_LOCAL_MACHINE");
    std::string error;
    ASSERT_TRUE(h.parse(file, &error)) << error;
    ASSERT_EQ(1u, h.keys().size());
    const Hive::Key& k = h.keys().begin()->second;
    EXPECT_EQ(std::wstring(L"So\uFFFD\uFFFDft\uFFFD\uFFFD\uFFFD"), k.path);
    ASSERT_EQ(1u, k.values.size());
    EXPECT_EQ(std::wstring(L"N\uFFFD\uFFFD"), k.values[0].name);

    // What was read writes back to a file that reads the same and writes the same again.
    std::string once = h.serialize();
    Hive again(L"HKEY_LOCAL_MACHINE");
    ASSERT_TRUE(again.parse(once, &error)) << error;
    EXPECT_EQ(once, again.serialize());
}

}  // namespace
