#include "base/CRegistryImpl.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

const std::wstring kKey = L"Software\\Kelvarin\\Pelmo\\PelmoTV";

class CRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/cregistry_test.XXXXXX";
        m_dir = mkdtemp(tmpl);
        setenv("PELMO_REGISTRY", m_dir.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("PELMO_REGISTRY");
        std::filesystem::remove_all(m_dir);
    }
    void writeHive(const std::string& text) {
        std::ofstream(m_dir + "/HKEY_LOCAL_MACHINE.reg", std::ios::binary) << text;
    }
    std::string m_dir;
    CRegistryImpl m_reg;
};

TEST_F(CRegistryTest, MissingKeyOrValueLeavesTheDefault) {
    int32_t value = 1;
    EXPECT_FALSE(readRegistryDWORD(kKey, L"OutputRaw", value));
    EXPECT_EQ(value, 1);
    writeHive("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Kelvarin\\Pelmo\\PelmoTV]\n\"Other\"=dword:5\n");
    EXPECT_FALSE(readRegistryDWORD(kKey, L"OutputRaw", value));
    EXPECT_EQ(value, 1);
    std::wstring text = L"default";
    EXPECT_FALSE(readRegistryString(kKey, L"InstallDir", text));
    EXPECT_EQ(text, L"default");
    std::map<std::wstring, std::wstring> all;
    EXPECT_NE(m_reg.readAll(L"Software\\Nowhere", all), 0);
}

TEST_F(CRegistryTest, WritesAndReadsBack) {
    ASSERT_TRUE(m_reg.writeDWORD(kKey, L"TunerInput", -2));
    ASSERT_TRUE(m_reg.writeString(L"Software\\Kelvarin\\Pelmo", L"InstallDir", L"/opt/p\u00E9lmo"));
    int32_t v = 0;
    ASSERT_TRUE(readRegistryDWORD(L"software\\kelvarin\\pelmo\\pelmotv", L"tunerinput", v));
    EXPECT_EQ(v, -2);
    std::wstring s;
    ASSERT_TRUE(readRegistryString(L"Software\\Kelvarin\\Pelmo", L"InstallDir", s));
    EXPECT_EQ(s, L"/opt/p\u00E9lmo");
    // The type is not looked at, but a value larger than the 4-byte slot reads as missing.
    EXPECT_FALSE(m_reg.readDWORD(L"Software\\Kelvarin\\Pelmo", L"InstallDir", v));
    EXPECT_EQ(v, -2);
}

TEST_F(CRegistryTest, LongStringIsCutToTheBuffer) {
    std::wstring longText(5000, L'x');
    ASSERT_TRUE(m_reg.writeString(kKey, L"Long", longText));
    std::wstring s;
    ASSERT_TRUE(m_reg.readString(kKey, L"Long", s));
    EXPECT_EQ(s.size(), 1023u);
}

TEST_F(CRegistryTest, ReadAllGivesStringsAndNumbersOnly) {
    writeHive(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Kelvarin\\Pelmo\\PelmoTV]\n\"Name\"=\"tuner\"\n"
        "\"Seven\"=dword:00000007\n\"Blob\"=hex:01,02\n\"Neg\"=dword:ffffffff\n");
    std::map<std::wstring, std::wstring> all;
    ASSERT_EQ(m_reg.readAll(kKey, all), 0);
    EXPECT_EQ(all,
              (std::map<std::wstring, std::wstring>{{L"Name", L"tuner"}, {L"Seven", L"7"}, {L"Neg", L"-1"}}));
}

TEST_F(CRegistryTest, BytesRoundTrip) {
    EXPECT_FALSE(m_reg.writeBytes(kKey, L"B", nullptr, 3));
    uint8_t bytes[] = {0, 1, 0xFE};
    EXPECT_FALSE(m_reg.writeBytes(kKey, L"B", bytes, 0));
    ASSERT_TRUE(m_reg.writeBytes(kKey, L"B", bytes, 3));
    std::unique_ptr<uint8_t[]> out;
    long len = 0;
    ASSERT_TRUE(m_reg.readBytes(kKey, L"B", out, len));
    ASSERT_EQ(len, 3);
    EXPECT_EQ(out[2], 0xFE);
    EXPECT_FALSE(m_reg.readBytes(kKey, L"Missing", out, len));
}

}  // namespace
