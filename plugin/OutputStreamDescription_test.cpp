#include "plugin/OutputStreamDescription.h"

#include <gtest/gtest.h>

#include <vector>

#include "host/CodecNames.h"
#include "host/SimpleStreamDescription.h"

using pelmo::streamer::SimpleStreamDescription;

namespace {

GRAPH_GUID(kFormatMpeg2Video, 0xE06D80E3, 0xDB46, 0x11CF, 0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA);

CMediaType videoInfo(const GUID& subtype, LONG width, LONG height, DWORD bitRate, REFERENCE_TIME frameTime) {
    CMediaType mt;
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = subtype;
    mt.formattype = FORMAT_VideoInfo;
    mt.bFixedSizeSamples = TRUE_;
    mt.lSampleSize = static_cast<ULONG>(width * (height < 0 ? -height : height) * 2);
    VIDEOINFOHEADER vih{};
    vih.dwBitRate = bitRate;
    vih.AvgTimePerFrame = frameTime;
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = height;
    mt.SetFormat(&vih, sizeof vih);
    return mt;
}

CMediaType videoInfo2(const GUID& subtype, const GUID& format, REFERENCE_TIME frameTime, DWORD interlace) {
    CMediaType mt;
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = subtype;
    mt.formattype = format;
    mt.bTemporalCompression = TRUE_;
    VIDEOINFOHEADER2 vih{};
    vih.dwBitRate = 3500000;
    vih.AvgTimePerFrame = frameTime;
    vih.dwInterlaceFlags = interlace;
    vih.dwPictAspectRatioX = 16;
    vih.dwPictAspectRatioY = 9;
    vih.bmiHeader.biWidth = 720;
    vih.bmiHeader.biHeight = 480;
    mt.SetFormat(&vih, sizeof vih);
    return mt;
}

CMediaType wave(const GUID& subtype, WORD channels, WORD bits, DWORD rate, DWORD bytesPerSecond) {
    CMediaType mt;
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = subtype;
    mt.formattype = FORMAT_WaveFormatEx;
    mt.bFixedSizeSamples = subtype == MEDIASUBTYPE_PCM;
    mt.lSampleSize = subtype == MEDIASUBTYPE_PCM ? channels * 2u : 0u;
    WAVEFORMATEX wf{};
    wf.nChannels = channels;
    wf.wBitsPerSample = bits;
    wf.nSamplesPerSec = rate;
    wf.nAvgBytesPerSec = bytesPerSecond;
    mt.SetFormat(&wf, sizeof wf);
    return mt;
}

SimpleStreamDescription describe(const AM_MEDIA_TYPE& audio, const AM_MEDIA_TYPE& video) {
    SimpleStreamDescription d;
    describeOutputStreams(audio, video, d);
    return d;
}

}  // namespace

TEST(OutputStreamDescription, DecodedFramesReadAsRawWithTheirPixelLayoutAndAnEstimatedRate) {
    CMediaType none;
    auto yuy2 = describe(none, videoInfo(MEDIASUBTYPE_YUY2, 640, 480, 0, 400000)).videoDescription;
    EXPECT_EQ("raw", yuy2.common.codecName);
    EXPECT_EQ(5, yuy2.pixelFormat);
    // 12 bits a pixel for YUY2 in the estimate, whatever its real layout.
    EXPECT_EQ(640 * 480 * 12, yuy2.common.bitRate);
    EXPECT_TRUE(yuy2.topDown);
    EXPECT_FALSE(yuy2.interlaced);
    EXPECT_EQ(25.0, yuy2.frameRate);
    EXPECT_EQ(640, yuy2.width);
    EXPECT_EQ(480, yuy2.height);
    EXPECT_EQ(640 * 480 * 2 * 8, yuy2.common.sampleSize);
    EXPECT_FALSE(yuy2.common.variableSize);

    auto bottomUp = describe(none, videoInfo(MEDIASUBTYPE_RGB24, 320, 480, 0, 333667)).videoDescription;
    EXPECT_EQ(1, bottomUp.pixelFormat);
    EXPECT_FALSE(bottomUp.topDown);
    EXPECT_EQ(320 * 480 * 24, bottomUp.common.bitRate);
    // Whole frames a second from a picture-format block: NTSC's frame time reads as 29.
    EXPECT_EQ(29.0, bottomUp.frameRate);

    auto topDown = describe(none, videoInfo(MEDIASUBTYPE_RGB24, 320, -480, 9000, 333667)).videoDescription;
    EXPECT_EQ(480, topDown.height);
    EXPECT_TRUE(topDown.topDown);
    EXPECT_EQ(9000, topDown.common.bitRate);

    auto rgb32 = describe(none, videoInfo(MEDIASUBTYPE_RGB32, 10, 10, 0, 400000)).videoDescription;
    EXPECT_EQ(3, rgb32.pixelFormat);
    EXPECT_EQ(10 * 10 * 32, rgb32.common.bitRate);
}

TEST(OutputStreamDescription, CompressedVideoKeepsItsExactRateAspectAndInterlacing) {
    CMediaType none;
    for (const GUID* format : {&FORMAT_VideoInfo2, &kFormatMpeg2Video}) {
        auto v = describe(none, videoInfo2(MEDIASUBTYPE_MPEG2_VIDEO, *format, 333667, 0x21)).videoDescription;
        EXPECT_EQ("mpeg2", v.common.codecName);
        EXPECT_EQ(4, v.pixelFormat);
        EXPECT_NEAR(29.97, v.frameRate, 0.001);
        EXPECT_TRUE(v.interlaced);
        EXPECT_EQ(16, v.aspectRatioX);
        EXPECT_EQ(9, v.aspectRatioY);
        EXPECT_EQ(3500000, v.common.bitRate);
        EXPECT_TRUE(v.common.temporalCompression);
        EXPECT_TRUE(v.common.variableSize);
        EXPECT_EQ(720, v.width);
        EXPECT_EQ(480, v.height);
    }
    auto progressive = describe(none, videoInfo2(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_VideoInfo2, 400000, 0x20));
    EXPECT_FALSE(progressive.videoDescription.interlaced);
    EXPECT_EQ(25.0, progressive.videoDescription.frameRate);
    auto avc = describe(none, videoInfo2(MEDIASUBTYPE_H264, FORMAT_VideoInfo2, 400000, 0));
    EXPECT_EQ("h264", avc.videoDescription.common.codecName);
    // Every name handed over is one the host knows.
    EXPECT_GE(pelmo::streamer::videoCodecIndex(avc.videoDescription.common.codecName.c_str()), 0);
}

TEST(OutputStreamDescription, AudioCodecsAndBitRates) {
    CMediaType none;
    auto mp2 = describe(wave(MEDIASUBTYPE_MPEG2_AUDIO, 2, 0, 48000, 24000), none).audioDescription;
    EXPECT_EQ("mp2", mp2.common.codecName);
    EXPECT_EQ(192000, mp2.common.bitRate);
    EXPECT_EQ(48000, mp2.sampleRate);
    EXPECT_EQ(2, mp2.channels);
    EXPECT_TRUE(mp2.common.variableSize);

    auto pcm = describe(wave(MEDIASUBTYPE_PCM, 2, 16, 48000, 0), none).audioDescription;
    EXPECT_EQ("raw", pcm.common.codecName);
    EXPECT_EQ(1536000, pcm.common.bitRate);
    EXPECT_EQ(16, pcm.bitsPerSample);
    EXPECT_EQ(32, pcm.common.sampleSize);
    EXPECT_FALSE(pcm.common.variableSize);

    EXPECT_EQ(
        "ac3",
        describe(wave(MEDIASUBTYPE_DOLBY_AC3, 6, 0, 48000, 48000), none).audioDescription.common.codecName);
}

// What does not match is left alone: the host keeps its defaults for it.
TEST(OutputStreamDescription, UnconnectedMismatchedAndShortTypesDescribeNothing) {
    SimpleStreamDescription defaults;
    auto same = [&](const SimpleStreamDescription& d) {
        EXPECT_EQ(defaults.videoDescription.width, d.videoDescription.width);
        EXPECT_EQ(defaults.videoDescription.frameRate, d.videoDescription.frameRate);
        EXPECT_EQ(defaults.audioDescription.sampleRate, d.audioDescription.sampleRate);
        EXPECT_EQ(defaults.audioDescription.common.codecName, d.audioDescription.common.codecName);
    };
    CMediaType none;
    auto nothing = describe(none, none);
    same(nothing);
    EXPECT_EQ("", nothing.videoDescription.common.codecName);

    // Audio offered as video and video as audio.
    same(
        describe(videoInfo(MEDIASUBTYPE_YUY2, 640, 480, 0, 400000), wave(MEDIASUBTYPE_PCM, 2, 16, 48000, 0)));

    CMediaType shortVideo = videoInfo(MEDIASUBTYPE_YUY2, 640, 480, 0, 400000);
    shortVideo.cbFormat = sizeof(VIDEOINFOHEADER) - 1;
    CMediaType shortAudio = wave(MEDIASUBTYPE_PCM, 2, 16, 48000, 0);
    shortAudio.cbFormat = 17;
    auto truncated = describe(shortAudio, shortVideo);
    same(truncated);
    // The codec is still named from the type; only the picture stays unset.
    EXPECT_EQ("raw", truncated.videoDescription.common.codecName);

    // No frame time: no rate rather than a division by zero.
    EXPECT_EQ(0.0, describe(none, videoInfo(MEDIASUBTYPE_YUY2, 64, 48, 0, 0)).videoDescription.frameRate);
    EXPECT_EQ(0.0, describe(none, videoInfo2(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_VideoInfo2, 0, 0))
                       .videoDescription.frameRate);
}
