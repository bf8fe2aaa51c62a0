// The TV control on the demo air: time shift of each kind of channel, retunes, stop and start
// again, and a buffer bounded by its window.
#include "tvctl/TVCtlTestSupport.h"
#include "tuning/MediaType.h"

using namespace tvtest;

namespace {

struct ChannelCase {
    const char* name;
    const wchar_t* mediaType;
    const wchar_t* first;
    const char* firstLayout;
    const wchar_t* second;
    const char* secondLayout;
};

class TimeShift : public TVCtlWorld, public ::testing::WithParamInterface<ChannelCase> {
protected:
    // Waits until the buffer holds `seconds` of programme past what it held before.
    bool growsBy(const std::wstring& buffer, int64_t seconds) {
        BufferManifest m;
        int64_t from = readManifest(buffer, m) ? m.latest : 0;
        return waitUntil([&] { return readManifest(buffer, m) && m.latest >= from + seconds * kSecond; });
    }
    std::string layout(const std::wstring& buffer, const char* name) {
        return probeProgrammes(joinSegments(buffer, folder / name));
    }
};

TEST_P(TimeShift, StartsRetunesStopsAndStartsAgainWithTheRightProgrammeInTheBuffer) {
    const ChannelCase& c = GetParam();
    openAir(4);
    CTVCtl tv(c.mediaType, L"", nullptr);
    std::wstring buffer;
    HRESULT tuned = E_UNEXPECTED;
    ASSERT_EQ(S_OK, tv.StartTimeShift(c.first, buffer, tuned));
    EXPECT_EQ(S_OK, tuned);
    EXPECT_EQ(0u, buffer.find(NarrowToWide(folder / "appdata/Kelvarin/PelmoTVBuffer/SBErec")));
    EXPECT_EQ(L".asf", buffer.substr(buffer.size() - 4));
    // The buffer grows while the control runs.
    ASSERT_TRUE(growsBy(buffer, 2));
    ASSERT_TRUE(growsBy(buffer, 1));
    EXPECT_EQ(c.firstLayout, layout(buffer, "first.ts"));

    // A start on a running control only retunes: same buffer, no device or output work.
    log->clear();
    std::wstring again;
    tuned = E_UNEXPECTED;
    EXPECT_EQ(S_OK, tv.StartTimeShift(c.second, again, tuned));
    EXPECT_EQ(S_OK, tuned);
    EXPECT_EQ(buffer, again);
    EXPECT_EQ(0, log->count(L"activateDevice"));
    EXPECT_EQ(0, log->count(L"activateOutput"));

    // The plug-in's channel change: halt, retune, run; the buffer starts again with the new
    // channel's programme.
    ASSERT_EQ(S_OK, tv.stopTVControl());
    ASSERT_EQ(S_OK, tv.setTVChannel(c.second));
    ASSERT_EQ(S_OK, tv.runTVControl());
    ASSERT_TRUE(growsBy(buffer, 2));
    EXPECT_EQ(c.secondLayout, layout(buffer, "second.ts"));

    // Taken apart, then started from the beginning on the same object.
    EXPECT_EQ(0, tv.stopTimeShift());
    MSVidCtlStateList state = STATE_PLAY;
    tv.videoControl()->get_State(&state);
    EXPECT_EQ(STATE_UNBUILT, state);
    EXPECT_FALSE(tv.hasTuneRequest());
    EXPECT_EQ(E_FAIL, tv.setTVChannel(c.first));
    log->clear();
    ASSERT_EQ(S_OK, tv.StartTimeShift(c.first, again, tuned));
    EXPECT_EQ(1, log->count(L"activateOutput succeeded"));
    EXPECT_EQ(buffer, again);
    ASSERT_TRUE(growsBy(buffer, 2));
    EXPECT_EQ(c.firstLayout, layout(buffer, "third.ts"));
}

INSTANTIATE_TEST_SUITE_P(
    DemoAir, TimeShift,
    ::testing::Values(ChannelCase{"Dvbt", kMediaTypeDvbt, L"474000/8/8916/4100/4165",
                                  "program=4165;h264;mp2;", L"538000/8/8916/4101/4229",
                                  "program=4229;mpeg2video;mp2;"},
                      ChannelCase{"Atsc", kMediaTypeAtsc, L"22/22/2", "program=2;mpeg2video;ac3;", L"22/22/1",
                                  "program=1;mpeg2video;ac3;"},
                      ChannelCase{"Analog", kMediaTypeAnalog, L"3", "program=1;mpeg2video;mp2;", L"8",
                                  "program=1;mpeg2video;mp2;"}),
    [](const auto& info) { return std::string(info.param.name); });

class TimeShiftWorld : public TVCtlWorld {};

// A small window keeps the buffer small: old segments go while new ones come.
TEST_F(TimeShiftWorld, TheBufferIsBoundedByTheWindowSetting) {
    setStreamBufferValue(L"WindowSeconds", 4);
    setStreamBufferValue(L"SegmentSeconds", 1);
    openAir(8);
    CTVCtl tv(kMediaTypeDvbt, L"", nullptr);
    std::wstring buffer;
    HRESULT tuned;
    ASSERT_EQ(S_OK, tv.StartTimeShift(L"474000/8/-1/-1/-1", buffer, tuned));
    BufferManifest m;
    ASSERT_TRUE(waitUntil([&] { return readManifest(buffer, m) && m.latest >= 16 * kSecond; }));
    ASSERT_FALSE(m.segments.empty());
    EXPECT_GE(m.segments.front().position, 8 * kSecond);
    EXPECT_LE(m.latest - m.segments.front().position, 6 * kSecond);
    // Only the files of the segments still listed are on disk.
    size_t files = 0;
    std::string prefix = std::filesystem::path(SbeFilePath(buffer)).filename().string() + ".";
    for (auto& e :
         std::filesystem::directory_iterator(std::filesystem::path(SbeFilePath(buffer)).parent_path()))
        if (e.path().filename().string().rfind(prefix, 0) == 0 && e.path().extension() == ".ts") ++files;
    EXPECT_LE(files, m.segments.size() + 1);
}

// Without an all-users data folder the buffer goes to the fixed folder's name.
TEST_F(TimeShiftWorld, WithoutTheDataFolderTheBufferNameStartsWithTheFixedFolder) {
    std::ofstream(folder / "not-a-folder") << "x";
    ScopedEnv appData("PELMO_APPDATA", folder / "not-a-folder");
    CTVCtl tv(kMediaTypeDvbt, L"", nullptr);
    EXPECT_EQ(0u, tv.bufferName().find(L"c:\\SBErec"));
    CTVCtl other(kMediaTypeDvbt, L"", nullptr);
    EXPECT_NE(tv.bufferName(), other.bufferName());
}

// A control that cannot be made, or a tuner category without devices, fails the start.
TEST_F(TimeShiftWorld, NoVideoControlOrNoTunerFailsTheStart) {
    {
        ScopedClassFailure noControl(CLSID_MSVidCtl, REGDB_E_CLASSNOTREG);
        CTVCtl tv(kMediaTypeDvbt, L"", nullptr);
        std::wstring buffer = L"untouched";
        HRESULT tuned = 7;
        EXPECT_EQ(E_FAIL, tv.StartTimeShift(L"474000/8/-1/-1/-1", buffer, tuned));
        EXPECT_EQ(L"untouched", buffer);
        EXPECT_TRUE(log->has(1, L"CoCreateInstance failed "));
        EXPECT_EQ(0, tv.stopTimeShift());
    }
    // No broadcast: no tuner of any category.
    CTVCtl tv(kMediaTypeAtsc, L"", nullptr);
    std::wstring buffer;
    HRESULT tuned;
    EXPECT_EQ(E_FAIL, tv.StartTimeShift(L"22/-1/-1", buffer, tuned));
    EXPECT_TRUE(log->has(1, L"activateDevice failed 80004005"));
}

// Running a running control calls nothing.
TEST_F(TimeShiftWorld, RunningARunningControlDoesNothing) {
    openAir(8);
    CTVCtl tv(kMediaTypeDvbt, L"", nullptr);
    std::wstring buffer;
    HRESULT tuned = S_OK;
    ASSERT_EQ(S_OK, tv.StartTimeShift(L"474000/8/-1/-1/-1", buffer, tuned));
    EXPECT_EQ(S_OK, tuned);
    EXPECT_EQ(0, tv.runTVControl());
    EXPECT_TRUE(log->has(3, L"runTVControl returned 0"));
    log->clear();
    EXPECT_EQ(0, tv.runTVControl());  // already running: Run is not called again
    EXPECT_EQ(0, log->count(L"runTVControl returned"));
}

}  // namespace
