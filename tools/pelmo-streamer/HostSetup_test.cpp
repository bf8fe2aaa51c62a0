// Where the host finds its module, data and settings with nothing configured, and how it fills a
// settings folder without touching what a user set.
#include "tools/pelmo-streamer/HostSetup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "base/TempFolder.h"

using namespace pelmo::streamer;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const char* const kMachineHive = "HKEY_LOCAL_MACHINE.reg";

TEST(HostPlaces, ABuildFolderUsesItsOwnModuleDataAndSettings) {
    TempFolder build{"host_places"};
    std::filesystem::create_directories(build / "tools/pelmo-streamer");
    std::ofstream(build / "CMakeCache.txt") << "# cache\n";
    ScopedEnv registry{"PELMO_REGISTRY", ""};
    ScopedEnv appData{"PELMO_APPDATA", ""};
    HostPlaces p = findPlaces(build / "tools/pelmo-streamer", false);
    EXPECT_TRUE(p.buildTree);
    EXPECT_EQ(build / "plugin/libskyvane.so", p.module);
    EXPECT_EQ(build / "data/", p.installDir);
    EXPECT_EQ(build / "pelmo/registry", p.registry);
    EXPECT_EQ(build / "pelmo/appdata", p.appData);
    EXPECT_EQ(build / "pelmo/appdata/Kelvarin/Logs/Skyvane.log", p.logFile());

    // What the environment names stands.
    ScopedEnv mine{"PELMO_REGISTRY", "/srv/settings"};
    ScopedEnv mineToo{"PELMO_APPDATA", "/srv/data/"};
    p = findPlaces(build / "tools/pelmo-streamer", false);
    EXPECT_EQ("/srv/settings", p.registry);
    EXPECT_EQ("/srv/data", p.appData);
}

TEST(HostPlaces, AnInstallationUsesItsPrefixAndTheUsersFoldersWhenNotRoot) {
    TempFolder prefix{"host_places"};
    std::filesystem::create_directories(prefix / "bin");
    ScopedEnv registry{"PELMO_REGISTRY", ""};
    ScopedEnv appData{"PELMO_APPDATA", ""};
    ScopedEnv home{"HOME", prefix / "home"};
    ScopedEnv config{"XDG_CONFIG_HOME", ""};
    ScopedEnv data{"XDG_DATA_HOME", ""};
    HostPlaces p = findPlaces(prefix / "bin", false);
    EXPECT_FALSE(p.buildTree);
    EXPECT_EQ(prefix / "lib/skyvane/libskyvane.so", p.module);
    EXPECT_EQ(prefix / "share/skyvane/", p.installDir);
    if (access("/etc/pelmo/HKEY_LOCAL_MACHINE.reg", F_OK) != 0) {
        EXPECT_EQ(prefix / "home/.config/pelmo", p.registry);
    }
    if (access("/var/lib/pelmo", W_OK) != 0) {
        EXPECT_EQ(prefix / "home/.local/share/pelmo", p.appData);
    }

    // An installation inside a build folder is still an installation.
    std::ofstream(prefix / "CMakeCache.txt") << "# cache\n";
    std::filesystem::create_directories(prefix / "inst/bin");
    EXPECT_FALSE(findPlaces(prefix / "inst/bin", false).buildTree);

    p = findPlaces(prefix / "bin", true);
    EXPECT_EQ("/etc/pelmo", p.registry);
    EXPECT_EQ("/var/lib/pelmo", p.appData);
}

TEST(RegistryDefaults, AnEmptyFolderGetsEveryDefaultWithTheInstallDirEndingInASeparator) {
    TempFolder folder{"registry_defaults"};
    std::string error;
    ASSERT_TRUE(fillRegistryDefaults(folder / "settings", folder.path(), error)) << error;
    std::string machine = readFile(folder / "settings/HKEY_LOCAL_MACHINE.reg");
    EXPECT_NE(std::string::npos, machine.find("\"InstallDir\"=\"" + folder.path() + "/\"")) << machine;
    EXPECT_NE(std::string::npos, machine.find("\"OutputRaw\"=dword:00000001")) << machine;
    EXPECT_NE(std::string::npos, machine.find("\"CountryCode\"=dword:00000001")) << machine;
    EXPECT_NE(std::string::npos, machine.find("\"LogLevel\"=dword:00000001")) << machine;
    std::string user = readFile(folder / "settings/HKEY_CURRENT_USER.reg");
    EXPECT_NE(std::string::npos, user.find("StreamBuffer]")) << user;
    EXPECT_NE(std::string::npos, user.find("\"SegmentSeconds\"=dword:0000000a")) << user;
}

TEST(RegistryDefaults, SettingsAUserChangedStayAndOnlyAVanishedInstallDirIsReplaced) {
    TempFolder folder{"registry_defaults"};
    std::filesystem::create_directories(folder / "mine");
    std::ofstream(folder / kMachineHive) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Kelvarin\\Pelmo]\n"
                                         << "\"InstallDir\"=\"" << folder / "mine"
                                         << "\"\n\n"
                                         << "[HKEY_LOCAL_MACHINE\\Software\\Kelvarin\\Pelmo\\PelmoTV]\n"
                                         << "\"OutputRaw\"=dword:00000000\n\"CountryCode\"=dword:0000002c\n";
    std::string error;
    ASSERT_TRUE(fillRegistryDefaults(folder.path(), "/usr/share/skyvane/", error)) << error;
    std::string machine = readFile(folder / kMachineHive);
    EXPECT_NE(std::string::npos, machine.find("\"InstallDir\"=\"" + folder / "mine" + "\"")) << machine;
    EXPECT_NE(std::string::npos, machine.find("\"OutputRaw\"=dword:00000000")) << machine;
    EXPECT_NE(std::string::npos, machine.find("\"CountryCode\"=dword:0000002c")) << machine;
    EXPECT_NE(std::string::npos, machine.find("\"HasSetTopBox\"=dword:00000000")) << machine;

    // An installation folder that is gone (an old build, a removed prefix) is replaced.
    std::filesystem::remove(folder / "mine");
    ASSERT_TRUE(fillRegistryDefaults(folder.path(), "/usr/share/skyvane", error)) << error;
    machine = readFile(folder / kMachineHive);
    EXPECT_NE(std::string::npos, machine.find("\"InstallDir\"=\"/usr/share/skyvane/\"")) << machine;
    EXPECT_NE(std::string::npos, machine.find("\"OutputRaw\"=dword:00000000")) << machine;
}

TEST(RegistryDefaults, AFolderThatCannotBeWrittenIsNamed) {
    std::string error;
    EXPECT_FALSE(fillRegistryDefaults("/proc/self/pelmo", "/usr/share/skyvane/", error));
    EXPECT_NE(std::string::npos, error.find("/proc/self/pelmo")) << error;
}

TEST(RegistryOverlay, ChangesValuesForOneRunAndLeavesTheUsersFilesAlone) {
    TempFolder folder{"registry_overlay"};
    const std::string original =
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Kelvarin\\Pelmo]\n\"InstallDir\"=\"/opt/x/\"\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Kelvarin\\Pelmo\\PelmoTV]\n\"OutputRaw\"=dword:00000001\n";
    std::ofstream(folder / kMachineHive) << original;
    std::string copy;
    {
        RegistryOverlay overlay;
        std::string error;
        ASSERT_TRUE(overlay.create(folder.path(), {{"OutputRaw", 0}, {"CountryCode", 44}}, error)) << error;
        copy = overlay.folder();
        std::string machine = readFile(copy + "/" + kMachineHive);
        EXPECT_NE(std::string::npos, machine.find("\"OutputRaw\"=dword:00000000")) << machine;
        EXPECT_NE(std::string::npos, machine.find("\"CountryCode\"=dword:0000002c")) << machine;
        EXPECT_NE(std::string::npos, machine.find("\"InstallDir\"=\"/opt/x/\"")) << machine;
    }
    EXPECT_EQ(original, readFile(folder / kMachineHive));
    struct stat st;
    EXPECT_NE(0, stat(copy.c_str(), &st)) << "the run's settings folder stayed";
}

}  // namespace
