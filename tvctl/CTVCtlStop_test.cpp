// Stopping twice, the graph fall-backs without a control, and the removal of the stream
// buffer's temporary files after 48 hours.
#include <fcntl.h>
#include <sys/stat.h>
#include <utime.h>

#include "tuning/MediaType.h"
#include "tvctl/TVCtlTestSupport.h"

using namespace tvtest;

namespace {

class Stop : public TVCtlWorld {
protected:
    // A file last written `hours` ago.
    void writeAged(const std::string& path, int hours) {
        std::ofstream(path) << "x";
        struct timespec times[2];
        clock_gettime(CLOCK_REALTIME, &times[0]);
        times[0].tv_sec -= hours * 3600;
        times[1] = times[0];
        ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
    }
    void makeAgedFolder(const std::string& path, int hours) {
        std::filesystem::create_directories(path);
        struct timespec times[2];
        clock_gettime(CLOCK_REALTIME, &times[0]);
        times[0].tv_sec -= hours * 3600;
        times[1] = times[0];
        ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
    }
};

TEST_F(Stop, TemporaryFilesGoAfter48HoursAndFoldersNever) {
    std::string dir = folder / "temp";
    std::filesystem::create_directories(dir);
    writeAged(dir + "/young.tmp", 47);
    writeAged(dir + "/old.tmp", 49);
    writeAged(dir + "/old.txt", 49);
    makeAgedFolder(dir + "/folder.tmp", 49);
    CTVCtl::RemoveOldFiles(NarrowToWide(dir + "/"), L"*.tmp", CTVCtl::kTemporaryFileMaxAge);
    EXPECT_TRUE(std::filesystem::exists(dir + "/young.tmp"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/old.tmp"));
    EXPECT_TRUE(std::filesystem::exists(dir + "/old.txt"));
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/folder.tmp"));
    // A folder that is not there is no failure.
    CTVCtl::RemoveOldFiles(NarrowToWide(folder / "missing/"), L"*.tmp", CTVCtl::kTemporaryFileMaxAge);
}

TEST_F(Stop, TheDestructorClearsTheUsersTemporaryFolderUnderTheDataFolder) {
    std::wstring temp;
    ASSERT_TRUE(CTVCtl::TemporaryFolder(temp));
    std::string dir = WideToUtf8(temp);
    EXPECT_EQ(0u, dir.find(folder / "appdata/Documents and Settings/")) << dir;
    EXPECT_NE(std::string::npos, dir.find("/Local Settings/Temp/TempSBE/")) << dir;
    std::filesystem::create_directories(dir);
    writeAged(dir + "young.tmp", 47);
    writeAged(dir + "old.tmp", 49);
    {
        // A start that fails still leaves the whole stop and the clean-up to the destructor.
        CTVCtl tv(kMediaTypeDvbt, L"", nullptr);
        std::wstring buffer;
        HRESULT tuned;
        EXPECT_EQ(E_FAIL, tv.StartTimeShift(L"474000/8/-1/-1/-1", buffer, tuned));
    }
    EXPECT_TRUE(log->has(3, L"CTVCtl::~CTVCtl clearing cache files"));
    EXPECT_TRUE(log->has(3, L"stopTimeShift returned"));
    EXPECT_TRUE(std::filesystem::exists(dir + "young.tmp"));
    EXPECT_FALSE(std::filesystem::exists(dir + "old.tmp"));
}

TEST_F(Stop, StoppingTwiceAndWithoutAControlIsHarmless) {
    openAir(8);
    CTVCtl tv(kMediaTypeDvbt, L"", nullptr);
    std::wstring buffer;
    HRESULT tuned;
    ASSERT_EQ(S_OK, tv.StartTimeShift(L"474000/8/-1/-1/-1", buffer, tuned));
    EXPECT_EQ(0, tv.stopTimeShift());
    log->clear();
    EXPECT_EQ(0, tv.stopTimeShift());
    EXPECT_TRUE(log->has(3, L"succeeded to deActivateOutput "));
    EXPECT_TRUE(log->has(3, L"succeeded to removeEncoder "));
    EXPECT_EQ(0, tv.stopTVControl());

    ScopedClassFailure noControl(CLSID_MSVidCtl, E_OUTOFMEMORY);
    CTVCtl none(kMediaTypeDvbt, L"", nullptr);
    EXPECT_EQ(0, none.stopTimeShift());
    EXPECT_EQ(0, none.stopTVControl());
    EXPECT_EQ(E_FAIL, none.RunWithFilterGraph());
    EXPECT_EQ(E_FAIL, none.StopWithFilterGraph());
    EXPECT_TRUE(log->has(2, L"can't get TVControl 80004005"));
    EXPECT_EQ(E_FAIL, none.runTVControl());
}

}  // namespace
