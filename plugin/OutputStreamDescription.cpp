#include "plugin/OutputStreamDescription.h"

#include <cstdlib>
#include <cstring>

#include "base/Log.h"

using pelmo::streamer::AudioStreamDescription;
using pelmo::streamer::VideoStreamDescription;

namespace {

// Format types and a subtype the graph layer does not name itself (the platform's values).
GRAPH_GUID(kFormatMpegVideo, 0x05589F82, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
GRAPH_GUID(kFormatMpeg2Video, 0xE06D80E3, 0xDB46, 0x11CF, 0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA);
GRAPH_GUID(kSubtypeIYUV, 0x56555949, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);

constexpr int kPixelRGB24 = 1;
constexpr int kPixelRGB32 = 3;
constexpr int kPixelIYUV = 4;
constexpr int kPixelYUY2 = 5;
constexpr int kPixelCompressed = 4;
constexpr REFERENCE_TIME kUnitsPerSecond = 10000000;

struct RawLayout {
    const GUID* subtype;
    int pixelFormat;
    int bitsPerPixel;
};
// YUY2 counts 12 bits a pixel in the bit-rate estimate, as the host expects of it.
const RawLayout kRawLayouts[] = {
    {&MEDIASUBTYPE_RGB24, kPixelRGB24, 24},
    {&MEDIASUBTYPE_RGB32, kPixelRGB32, 32},
    {&kSubtypeIYUV, kPixelIYUV, 12},
    {&MEDIASUBTYPE_YUY2, kPixelYUY2, 12},
};

// The graph carries compressed video under a picture format block too; only the subtype tells
// an access unit from a decoded frame.
bool isCompressedVideo(const GUID& subtype) {
    return subtype == MEDIASUBTYPE_MPEG2_VIDEO || subtype == MEDIASUBTYPE_H264;
}

template <class Header>
bool readFormat(const AM_MEDIA_TYPE& mt, Header& out) {
    if (mt.pbFormat == nullptr || mt.cbFormat < sizeof(Header)) return false;
    std::memcpy(&out, mt.pbFormat, sizeof(Header));
    return true;
}

void describePicture(const AM_MEDIA_TYPE& mt, int bitsPerPixel, VideoStreamDescription& video) {
    const bool yuy2 = mt.subtype == MEDIASUBTYPE_YUY2;
    if (mt.formattype == FORMAT_VideoInfo || mt.formattype == kFormatMpegVideo) {
        VIDEOINFOHEADER vih;
        if (!readFormat(mt, vih)) return;
        const BITMAPINFOHEADER& bih = vih.bmiHeader;
        debug(L" biWidth %d biHeight %d ", static_cast<int>(bih.biWidth), static_cast<int>(bih.biHeight));
        debug(L" biCompression %d ", static_cast<int>(bih.biCompression));
        const int height = std::abs(static_cast<int>(bih.biHeight));
        const int64_t estimate = int64_t{bih.biWidth} * height * bitsPerPixel;
        video.setBitRate(vih.dwBitRate != 0 ? static_cast<int>(vih.dwBitRate) : static_cast<int>(estimate));
        // Whole frames a second: a 29.97 Hz frame time reads as 29.
        if (vih.AvgTimePerFrame > 0)
            video.setFrameRate(static_cast<double>(kUnitsPerSecond / vih.AvgTimePerFrame));
        video.setWidth(static_cast<int>(bih.biWidth));
        video.setHeight(height);
        if (yuy2 || bih.biHeight < 0) video.setTopDown(true);
        video.setInterlaced(false);
        return;
    }
    if (mt.formattype == FORMAT_VideoInfo2 || mt.formattype == kFormatMpeg2Video) {
        VIDEOINFOHEADER2 vih;
        if (!readFormat(mt, vih)) return;
        const BITMAPINFOHEADER& bih = vih.bmiHeader;
        debug(L"VideoInfo2 biWidth %d biHeight %d ", static_cast<int>(bih.biWidth),
              static_cast<int>(bih.biHeight));
        debug(L"VideoInfo2 biCompression %d ", static_cast<int>(bih.biCompression));
        video.setBitRate(static_cast<int>(vih.dwBitRate));
        if (vih.AvgTimePerFrame > 0)
            video.setFrameRate(static_cast<double>(kUnitsPerSecond) /
                               static_cast<double>(vih.AvgTimePerFrame));
        video.setWidth(static_cast<int>(bih.biWidth));
        video.setHeight(std::abs(static_cast<int>(bih.biHeight)));
        if (yuy2 || bih.biHeight < 0) video.setTopDown(true);
        video.setAspectRatioX(static_cast<int>(vih.dwPictAspectRatioX));
        video.setAspectRatioY(static_cast<int>(vih.dwPictAspectRatioY));
        video.setInterlaced((vih.dwInterlaceFlags & 1) != 0);
    }
}

void describeVideo(const AM_MEDIA_TYPE& mt, VideoStreamDescription& video) {
    video.setSampleSize(static_cast<int>(mt.lSampleSize * 8));
    video.setVariableSize(!mt.bFixedSizeSamples);
    video.setTemporalCompression(mt.bTemporalCompression != 0);
    int bitsPerPixel = 24;
    const bool pictureFormat = mt.formattype == FORMAT_VideoInfo || mt.formattype == FORMAT_VideoInfo2;
    if (pictureFormat && !isCompressedVideo(mt.subtype)) {
        video.setCodecName("raw");
        debug(L"RAW_VIDEO");
        for (const RawLayout& layout : kRawLayouts) {
            if (mt.subtype == *layout.subtype) {
                video.setPixelFormat(layout.pixelFormat);
                bitsPerPixel = layout.bitsPerPixel;
            }
        }
    } else {
        const bool h264 = mt.subtype == MEDIASUBTYPE_H264;
        video.setCodecName(h264 ? "h264" : "mpeg2");
        debug(h264 ? L"H264_VIDEO_CODEC" : L"MPEG2_VIDEO_CODEC");
        video.setPixelFormat(kPixelCompressed);
    }
    describePicture(mt, bitsPerPixel, video);
}

void describeAudio(const AM_MEDIA_TYPE& mt, AudioStreamDescription& audio) {
    WAVEFORMATEX wf;
    if (!readFormat(mt, wf)) return;
    audio.setSampleRate(static_cast<int>(wf.nSamplesPerSec));
    audio.setChannels(wf.nChannels);
    audio.setBitsPerSample(wf.wBitsPerSample);
    audio.setSampleSize(static_cast<int>(mt.lSampleSize * 8));
    audio.setVariableSize(!mt.bFixedSizeSamples);
    audio.setTemporalCompression(mt.bTemporalCompression != 0);
    const int64_t estimate = int64_t{wf.nChannels} * wf.wBitsPerSample * wf.nSamplesPerSec;
    audio.setBitRate(wf.nAvgBytesPerSec != 0 ? static_cast<int>(int64_t{wf.nAvgBytesPerSec} * 8)
                                             : static_cast<int>(estimate));
    if (mt.subtype == MEDIASUBTYPE_PCM) {
        audio.setCodecName("raw");
        debug(L"RAW_AUDIO");
    } else if (mt.subtype == MEDIASUBTYPE_DOLBY_AC3) {
        audio.setCodecName("ac3");
        debug(L"AC3_AUDIO_CODEC ");
    } else {
        audio.setCodecName("mp2");
        debug(L"MP2_AUDIO_CODEC ");
    }
}

}  // namespace

void describeOutputStreams(const AM_MEDIA_TYPE& audio, const AM_MEDIA_TYPE& video,
                           pelmo::streamer::StreamDescription& description) {
    AudioStreamDescription& audioOut = description.audio();
    VideoStreamDescription& videoOut = description.video();
    if (video.majortype == MEDIATYPE_Video) describeVideo(video, videoOut);
    if (audio.majortype == MEDIATYPE_Audio) describeAudio(audio, audioOut);
}
