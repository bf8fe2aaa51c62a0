// Recordings through the TV control: one at a time, playable, of the programme tuned, and
// going on through a halt of the control until the forced release.
#include "tuning/MediaType.h"
#include "tvctl/TVCtlTestSupport.h"

using namespace tvtest;

namespace {

class Recording : public TVCtlWorld {
protected:
    uintmax_t size(const std::string& file) {
        std::error_code ec;
        auto n = std::filesystem::file_size(file, ec);
        return ec ? uintmax_t(0) : n;
    }
    bool growsBy(const std::string& file, uintmax_t bytes) {
        uintmax_t from = size(file);
        return waitUntil([&] { return size(file) >= from + bytes; });
    }
};

TEST_F(Recording, NothingIsRecordedBeforeTheTimeShiftStarts) {
    CTVCtl tv(kMediaTypeDvbt, L"", nullptr);
    EXPECT_EQ(1, tv.CheckReleased(false));
    EXPECT_EQ(1, tv.CreateRecording(NarrowToWide(folder / "early.dvr-ms")));
    EXPECT_TRUE(log->has(1, L"can't find MSVidStreamBufferSink interface"));
    EXPECT_FALSE(std::filesystem::exists(folder / "early.dvr-ms"));
}

TEST_F(Recording, OneAtATimePlayableAndOfTheTunedProgramme) {
    openAir(8);
    CTVCtl tv(kMediaTypeDvbt, L"", nullptr);
    std::wstring buffer;
    HRESULT tuned;
    ASSERT_EQ(S_OK, tv.StartTimeShift(L"474000/8/8916/4100/4166", buffer, tuned));
    const std::string first = folder / "first.dvr-ms";
    const std::string second = folder / "second.dvr-ms";
    std::ofstream(first) << "an older recording of that name";

    ASSERT_EQ(S_OK, tv.CreateRecording(NarrowToWide(first)));
    EXPECT_EQ(1, tv.CreateRecording(NarrowToWide(second)));
    EXPECT_TRUE(log->has(3, L"recorder is busy"));
    EXPECT_FALSE(std::filesystem::exists(second));
    ASSERT_TRUE(growsBy(first, 1500000));
    EXPECT_EQ(0, tv.CheckReleased(false));
    EXPECT_EQ(1, tv.CheckReleased(true));
    EXPECT_EQ(1, tv.CheckReleased(false));

    EXPECT_EQ("program=4166;mpeg2video;mp2;", probeProgrammes(first));
    EXPECT_GT(probeDuration(first), 2.0);
    EXPECT_EQ("", run("ffmpeg -nostdin -v error -i '" + first + "' -f null - 2>&1"));

    // Free again: the next recording starts.
    ASSERT_EQ(S_OK, tv.CreateRecording(NarrowToWide(second)));
    ASSERT_TRUE(growsBy(second, 200000));
}

TEST_F(Recording, ARecordingGoesOnThroughAHaltUntilItIsReleased) {
    openAir(8);
    CTVCtl tv(kMediaTypeAtsc, L"", nullptr);
    std::wstring buffer;
    HRESULT tuned;
    ASSERT_EQ(S_OK, tv.StartTimeShift(L"22/22/2", buffer, tuned));
    const std::string file = folder / "through.dvr-ms";
    ASSERT_EQ(S_OK, tv.CreateRecording(NarrowToWide(file)));
    ASSERT_TRUE(growsBy(file, 500000));
    ASSERT_EQ(S_OK, tv.stopTVControl());
    EXPECT_EQ(0, tv.CheckReleased(false));
    EXPECT_EQ(1, tv.CreateRecording(NarrowToWide(folder / "other.dvr-ms")));
    ASSERT_EQ(S_OK, tv.runTVControl());
    ASSERT_TRUE(growsBy(file, 500000));
    EXPECT_EQ(0, tv.CheckReleased(false));

    // Taking the time shift apart ends the sink, and with it the recording; the recorder is
    // then found stopped and released without force.
    EXPECT_EQ(0, tv.stopTimeShift());
    EXPECT_EQ(1, tv.CheckReleased(false));
    EXPECT_EQ("program=2;mpeg2video;ac3;", probeProgrammes(file));
}

}  // namespace
