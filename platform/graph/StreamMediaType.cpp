#include "platform/graph/StreamMediaType.h"

#include <cstdint>
extern "C" {
#include <libavformat/avformat.h>
}

#include <cstring>
#include <vector>

namespace {
constexpr AVRational kTimeBase100ns = {1, 10000000};

struct Compressed {
    AVCodecID codec;
    const GUID* subtype;
    WORD waveTag;
};
const Compressed kCompressed[] = {
    {AV_CODEC_ID_MPEG2VIDEO, &MEDIASUBTYPE_MPEG2_VIDEO, 0},
    {AV_CODEC_ID_H264, &MEDIASUBTYPE_H264, 0},
    {AV_CODEC_ID_MP2, &MEDIASUBTYPE_MPEG2_AUDIO, 0x0050},
    {AV_CODEC_ID_MP1, &MEDIASUBTYPE_MPEG1AudioPayload, 0x0050},
    {AV_CODEC_ID_AC3, &MEDIASUBTYPE_DOLBY_AC3, 0x2000},
};

// The media type of an elementary stream; false for streams the graph cannot carry.
}  // namespace

bool CompressedMediaTypeOfStream(const AVStream* st, CMediaType* mt) {
    const AVCodecParameters* par = st->codecpar;
    const Compressed* found = nullptr;
    for (const Compressed& c : kCompressed)
        if (c.codec == par->codec_id) found = &c;
    if (!found) return false;
    size_t extra = par->extradata && par->extradata_size > 0 ? static_cast<size_t>(par->extradata_size) : 0;
    mt->Clear();
    mt->subtype = *found->subtype;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
        if (par->width <= 0 || par->height <= 0) return false;
        std::vector<BYTE> block(sizeof(VIDEOINFOHEADER2) + extra);
        VIDEOINFOHEADER2 vih{};
        vih.rcSource = {0, 0, par->width, par->height};
        vih.rcTarget = vih.rcSource;
        vih.dwBitRate = static_cast<DWORD>(par->bit_rate);
        AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
        if (rate.num > 0 && rate.den > 0)
            vih.AvgTimePerFrame = av_rescale_q(1, av_inv_q(rate), kTimeBase100ns);
        vih.dwPictAspectRatioX = static_cast<DWORD>(par->width);
        vih.dwPictAspectRatioY = static_cast<DWORD>(par->height);
        vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        vih.bmiHeader.biWidth = par->width;
        vih.bmiHeader.biHeight = par->height;
        std::memcpy(block.data(), &vih, sizeof vih);
        if (extra) std::memcpy(block.data() + sizeof vih, par->extradata, extra);
        mt->majortype = MEDIATYPE_Video;
        mt->bTemporalCompression = TRUE_;
        mt->formattype = FORMAT_VideoInfo2;
        return mt->SetFormat(block.data(), static_cast<ULONG>(block.size()));
    }
    if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
        if (par->sample_rate <= 0 || par->ch_layout.nb_channels <= 0) return false;
        if (extra > 0xFFFF) extra = 0;
        std::vector<BYTE> block(sizeof(WAVEFORMATEX) + extra);
        WAVEFORMATEX wf{};
        wf.wFormatTag = found->waveTag;
        wf.nChannels = static_cast<WORD>(par->ch_layout.nb_channels);
        wf.nSamplesPerSec = static_cast<DWORD>(par->sample_rate);
        wf.nAvgBytesPerSec = static_cast<DWORD>(par->bit_rate / 8);
        wf.nBlockAlign = 1;
        wf.cbSize = static_cast<WORD>(extra);
        std::memcpy(block.data(), &wf, sizeof wf);
        if (extra) std::memcpy(block.data() + sizeof wf, par->extradata, extra);
        mt->majortype = MEDIATYPE_Audio;
        mt->formattype = FORMAT_WaveFormatEx;
        return mt->SetFormat(block.data(), static_cast<ULONG>(block.size()));
    }
    return false;
}
