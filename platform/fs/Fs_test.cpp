#include "platform/fs/Fs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "base/TempFolder.h"

namespace {

class AppDataTest : public ::testing::Test {
protected:
    TempFolder m_folder{"fs_test"};
    std::string m_root = m_folder.path();
};

TEST_F(AppDataTest, CreatesTheFolderAndItsParentsOnDemand) {
    std::string wanted = m_root + "/a/b/appdata/";
    ScopedEnv env("PELMO_APPDATA", wanted);
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
    std::string folder = "untouched";
    {
        ScopedEnv env("PELMO_APPDATA", file + "/below");
        EXPECT_FALSE(GetAppDataFolder(folder));
        EXPECT_EQ(folder, "untouched");
    }
    ScopedEnv env("PELMO_APPDATA", file);
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
