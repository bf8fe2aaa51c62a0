#include "platform/fs/Fs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

namespace {

class AppDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/fs_test.XXXXXX";
        m_root = mkdtemp(tmpl);
    }
    void TearDown() override {
        unsetenv("PELMO_APPDATA");
        std::filesystem::remove_all(m_root);
    }
    std::string m_root;
};

TEST_F(AppDataTest, CreatesTheFolderAndItsParentsOnDemand) {
    std::string wanted = m_root + "/a/b/appdata/";
    setenv("PELMO_APPDATA", wanted.c_str(), 1);
    std::string folder;
    ASSERT_TRUE(GetAppDataFolder(folder));
    EXPECT_EQ(folder, m_root + "/a/b/appdata");
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    // A second call finds it there.
    ASSERT_TRUE(GetAppDataFolder(folder));
}

TEST_F(AppDataTest, FailsWhenThePlaceIsAFileAndLeavesTheOutputAlone) {
    std::string file = m_root + "/plain";
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    setenv("PELMO_APPDATA", (file + "/below").c_str(), 1);
    std::string folder = "untouched";
    EXPECT_FALSE(GetAppDataFolder(folder));
    EXPECT_EQ(folder, "untouched");
    setenv("PELMO_APPDATA", file.c_str(), 1);
    EXPECT_FALSE(GetAppDataFolder(folder));
}

TEST(ExecutableBaseName, IsTheFileNameCutAtTheFirstDot) {
    // The test binary is called "fs_test".
    EXPECT_EQ(GetExecutableBaseName(), "fs_test");
}

TEST(JoinPath, PutsOneSlashBetween) {
    EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
    EXPECT_EQ(JoinPath("/a/", "b"), "/a/b");
    EXPECT_EQ(JoinPath("", "b"), "b");
}

}  // namespace
