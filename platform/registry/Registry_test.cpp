#include "platform/registry/Registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/registry_test.XXXXXX";
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
    std::string readHive() {
        std::ifstream in(m_dir + "/HKEY_LOCAL_MACHINE.reg", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string m_dir;
};

DWORD queryDword(HKEY k, const wchar_t* name, LONG* rc = nullptr) {
    DWORD v = 0xFFFFFFFF, size = sizeof v, type = 0;
    LONG r = RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size);
    if (rc) *rc = r;
    return v;
}

TEST_F(RegistryTest, OpensKeysWithoutRegardToCaseAndReadsValues) {
    writeHive(
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Kelvarin\\Pelmo]\n\"LogLevel\"=dword:00000003\n"
        "\"InstallDir\"=\"/opt/pelmo\"\n");
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\kelvarin\\Pelmo", 0, KEY_READ, &k),
              ERROR_SUCCESS);
    EXPECT_EQ(queryDword(k, L"loglevel"), 3u);

    DWORD size = 0, type = 0;
    ASSERT_EQ(RegQueryValueExW(k, L"InstallDir", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 11 * sizeof(wchar_t));
    wchar_t small[4];
    DWORD smallSize = sizeof small;
    EXPECT_EQ(
        RegQueryValueExW(k, L"InstallDir", nullptr, nullptr, reinterpret_cast<BYTE*>(small), &smallSize),
        ERROR_MORE_DATA);
    EXPECT_EQ(smallSize, size);
    LONG rc;
    queryDword(k, L"Missing", &rc);
    EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);

    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Nothing", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    // The other hive is another file, absent here.
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Kelvarin", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, WritesReplaceTheFileAndAreSeenAgain) {
    HKEY k = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Kelvarin\\Pelmo\\PelmoTV", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &k, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    DWORD v = 42;
    ASSERT_EQ(RegSetValueExW(k, L"CountryCode", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), sizeof v),
              ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_NE(readHive().find("\"CountryCode\"=dword:0000002a"), std::string::npos) << readHive();
    // No temporary files are left beside the hive.
    size_t files = 0;
    for (auto& e : std::filesystem::directory_iterator(m_dir)) files += e.is_regular_file();
    EXPECT_EQ(files, 1u);

    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"software\\kelvarin\\pelmo\\pelmotv", 0, nullptr, 0,
                              KEY_READ, nullptr, &k, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    // Opened for reading only: writing is refused.
    EXPECT_EQ(RegSetValueExW(k, L"X", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), sizeof v),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(queryDword(k, L"countrycode"), 42u);

    // Someone else edits the file: the next read sees it.
    std::string text = readHive();
    text.replace(text.find("0000002a"), 8, "00000007");
    text += "\"Extra\"=dword:00000001\n";
    writeHive(text);
    EXPECT_EQ(queryDword(k, L"CountryCode"), 7u);
    EXPECT_EQ(queryDword(k, L"Extra"), 1u);
    RegCloseKey(k);
}

TEST_F(RegistryTest, EnumeratesAndDescribesAKey) {
    writeHive(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"s\"=\"text\"\n\"longer name\"=dword:7\n\"b\"=hex:1,2,3,4,5,6\n"
        "[HKEY_LOCAL_MACHINE\\K\\Sub1]\n[HKEY_LOCAL_MACHINE\\K\\Sub22\\Deeper]\n");
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"K", 0, KEY_READ, &k), ERROR_SUCCESS);
    DWORD subKeys = 0, maxSub = 0, values = 0, maxName = 0, maxData = 0;
    ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr, &values, &maxName,
                               &maxData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 2u);
    EXPECT_EQ(maxSub, 5u);
    EXPECT_EQ(values, 3u);
    EXPECT_EQ(maxName, 11u);
    EXPECT_EQ(maxData, 5 * sizeof(wchar_t));  // "text" and its zero

    wchar_t name[32];
    BYTE data[32];
    DWORD nameLen = 32, dataLen = 32, type = 0;
    ASSERT_EQ(RegEnumValueW(k, 1, name, &nameLen, nullptr, &type, data, &dataLen), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(name), L"longer name");
    EXPECT_EQ(nameLen, 11u);
    EXPECT_EQ(type, REG_DWORD);
    nameLen = 11;  // no room for the zero
    EXPECT_EQ(RegEnumValueW(k, 1, name, &nameLen, nullptr, &type, data, &dataLen), ERROR_MORE_DATA);
    nameLen = 32;
    EXPECT_EQ(RegEnumValueW(k, 3, name, &nameLen, nullptr, &type, data, &dataLen), ERROR_NO_MORE_ITEMS);
    RegCloseKey(k);
}

TEST_F(RegistryTest, DamagedFileKeepsItsValidPartAndAWriteRepairsIt) {
    writeHive("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=dword:1\n\"b\"=dword:zz\n\"c\"=dword:3\n");
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"K", 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
    EXPECT_EQ(queryDword(k, L"a"), 1u);
    LONG rc;
    queryDword(k, L"c", &rc);
    EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegDeleteValueW(k, L"a"), ERROR_SUCCESS);
    queryDword(k, L"a", &rc);
    EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(readHive().find("zz"), std::string::npos);
    RegCloseKey(k);
}

TEST_F(RegistryTest, UnwritableFolderFailsCleanly) {
    if (geteuid() == 0) GTEST_SKIP() << "root can write anywhere";
    chmod(m_dir.c_str(), 0555);
    HKEY k = nullptr;
    EXPECT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
        ERROR_CANTWRITE);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"New", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    chmod(m_dir.c_str(), 0755);
}

TEST_F(RegistryTest, RefusesNamesThatWouldBreakTheFile) {
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, L"A\nB", &k), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, L"A", &k), ERROR_SUCCESS);
    DWORD v = 1;
    EXPECT_EQ(RegSetValueExW(k, L"x\ny", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(k);
}

}  // namespace
