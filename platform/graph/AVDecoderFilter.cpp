#include "platform/graph/AVDecoderFilter.h"

#include <cstdint>
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {
constexpr AVRational kTimeBase100ns = {1, 10000000};
constexpr DWORD kFourCCYUY2 = 0x32595559;

struct Decodable {
    const GUID* subtype;
    AVCodecID codec;
};
const Decodable kDecodable[] = {
    {&MEDIASUBTYPE_MPEG2_VIDEO, AV_CODEC_ID_MPEG2VIDEO}, {&MEDIASUBTYPE_H264, AV_CODEC_ID_H264},
    {&MEDIASUBTYPE_MPEG2_AUDIO, AV_CODEC_ID_MP2},        {&MEDIASUBTYPE_MPEG1AudioPayload, AV_CODEC_ID_MP2},
    {&MEDIASUBTYPE_DOLBY_AC3, AV_CODEC_ID_AC3},
};

AVCodecID codecFor(const AM_MEDIA_TYPE& mt) {
    for (const Decodable& d : kDecodable)
        if (*d.subtype == mt.subtype) return d.codec;
    return AV_CODEC_ID_NONE;
}

// Geometry of a compressed video type: VIDEOINFOHEADER or VIDEOINFOHEADER2 block.
const BITMAPINFOHEADER* videoHeader(const AM_MEDIA_TYPE& mt, REFERENCE_TIME* frameTime, size_t* headerSize) {
    if (mt.formattype == FORMAT_VideoInfo2 && mt.pbFormat && mt.cbFormat >= sizeof(VIDEOINFOHEADER2)) {
        auto* v = reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat);
        if (frameTime) *frameTime = v->AvgTimePerFrame;
        if (headerSize) *headerSize = sizeof(VIDEOINFOHEADER2);
        return &v->bmiHeader;
    }
    if (mt.formattype == FORMAT_VideoInfo && mt.pbFormat && mt.cbFormat >= sizeof(VIDEOINFOHEADER)) {
        auto* v = reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat);
        if (frameTime) *frameTime = v->AvgTimePerFrame;
        if (headerSize) *headerSize = sizeof(VIDEOINFOHEADER);
        return &v->bmiHeader;
    }
    return nullptr;
}

const WAVEFORMATEX* waveHeader(const AM_MEDIA_TYPE& mt) {
    if (mt.formattype != FORMAT_WaveFormatEx || !mt.pbFormat || mt.cbFormat < sizeof(WAVEFORMATEX))
        return nullptr;
    return reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
}

LONG frameBytes(const GUID& subtype, LONG width, LONG height) {
    if (subtype == MEDIASUBTYPE_YUY2) return width * 2 * height;
    // RGB24 rows are padded to four bytes.
    return ((width * 3 + 3) & ~3) * height;
}
}  // namespace

AVDecoderFilter::AVDecoderFilter() : CTransformFilter(L"AV Decoder", CLSID_AVDecoderFilter) {
    QuietMediaLibraries();
}

AVDecoderFilter::~AVDecoderFilter() {
    CloseDecoder();
}

bool AVDecoderFilter::CanDecode(const AM_MEDIA_TYPE& mt) {
    AVCodecID id = codecFor(mt);
    if (id == AV_CODEC_ID_NONE || !avcodec_find_decoder(id)) return false;
    if (mt.majortype == MEDIATYPE_Video) {
        const BITMAPINFOHEADER* bih = videoHeader(mt, nullptr, nullptr);
        return bih && bih->biWidth > 0 && bih->biWidth <= 8192 && bih->biHeight != 0 &&
               bih->biHeight >= -8192 && bih->biHeight <= 8192;
    }
    if (mt.majortype == MEDIATYPE_Audio) {
        const WAVEFORMATEX* wf = waveHeader(mt);
        return wf && wf->nChannels > 0 && wf->nSamplesPerSec > 0 && wf->nSamplesPerSec <= 384000;
    }
    return false;
}

bool AVDecoderFilter::IsVideo() const {
    return m_width > 0;
}

HRESULT AVDecoderFilter::CheckInputType(const CMediaType* mt) {
    if (!mt) return E_POINTER;
    return CanDecode(*mt) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT AVDecoderFilter::GetMediaType(int position, CMediaType* mt) {
    if (position < 0) return E_INVALIDARG;
    if (!InputPin()->IsConnected()) return VFW_S_NO_MORE_ITEMS;
    mt->Clear();
    if (IsVideo()) {
        if (position > 1) return VFW_S_NO_MORE_ITEMS;
        const GUID& sub = position == 0 ? MEDIASUBTYPE_YUY2 : MEDIASUBTYPE_RGB24;
        VIDEOINFOHEADER vih{};
        vih.rcSource = {0, 0, m_width, m_height};
        vih.rcTarget = vih.rcSource;
        vih.AvgTimePerFrame = m_frameTime;
        vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        vih.bmiHeader.biWidth = m_width;
        vih.bmiHeader.biHeight = m_height;
        vih.bmiHeader.biPlanes = 1;
        vih.bmiHeader.biBitCount = position == 0 ? 16 : 24;
        vih.bmiHeader.biCompression = position == 0 ? kFourCCYUY2 : BI_RGB;
        vih.bmiHeader.biSizeImage = static_cast<DWORD>(frameBytes(sub, m_width, m_height));
        mt->majortype = MEDIATYPE_Video;
        mt->subtype = sub;
        mt->bFixedSizeSamples = TRUE_;
        mt->lSampleSize = vih.bmiHeader.biSizeImage;
        mt->formattype = FORMAT_VideoInfo;
        return mt->SetFormat(&vih, sizeof vih) ? S_OK : E_OUTOFMEMORY;
    }
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    WAVEFORMATEX wf{};
    wf.wFormatTag = WAVE_FORMAT_PCM;
    wf.nChannels = static_cast<WORD>(m_channels);
    wf.nSamplesPerSec = static_cast<DWORD>(m_rate);
    wf.wBitsPerSample = 16;
    wf.nBlockAlign = static_cast<WORD>(m_channels * 2);
    wf.nAvgBytesPerSec = wf.nSamplesPerSec * wf.nBlockAlign;
    mt->majortype = MEDIATYPE_Audio;
    mt->subtype = MEDIASUBTYPE_PCM;
    mt->bFixedSizeSamples = TRUE_;
    mt->lSampleSize = wf.nBlockAlign;
    mt->formattype = FORMAT_WaveFormatEx;
    return mt->SetFormat(&wf, sizeof wf) ? S_OK : E_OUTOFMEMORY;
}

HRESULT AVDecoderFilter::CheckTransform(const CMediaType* in, const CMediaType* out) {
    if (!in || !out) return E_POINTER;
    if (!CanDecode(*in)) return VFW_E_TYPE_NOT_ACCEPTED;
    // Only the exact types this filter proposes: geometry and layout are fixed by the input.
    for (int i = 0;; ++i) {
        CMediaType mine;
        if (GetMediaType(i, &mine) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
        if (mine.MatchesExactly(*out)) return S_OK;
    }
}

HRESULT AVDecoderFilter::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) {
    ALLOCATOR_PROPERTIES want{4, 0, 1, 0};
    if (IsVideo()) {
        want.cbBuffer = frameBytes(MEDIASUBTYPE_RGB24, m_width, m_height);
    } else {
        // A second of PCM holds any decoded frame with room for resampler carry-over.
        want.cbBuffer = m_rate * m_channels * 2;
    }
    return allocator->SetProperties(&want, props);
}

HRESULT AVDecoderFilter::SetMediaType(PIN_DIRECTION dir, const CMediaType* mt) {
    if (dir == PINDIR_INPUT) return OpenDecoder(*mt);
    return S_OK;
}

HRESULT AVDecoderFilter::BreakConnect(PIN_DIRECTION dir) {
    if (dir == PINDIR_INPUT) CloseDecoder();
    return S_OK;
}

HRESULT AVDecoderFilter::OpenDecoder(const CMediaType& in) {
    CloseDecoder();
    const AVCodec* codec = avcodec_find_decoder(codecFor(in));
    if (!codec) return VFW_E_TYPE_NOT_ACCEPTED;
    m_codec = avcodec_alloc_context3(codec);
    m_frame = av_frame_alloc();
    m_packet = av_packet_alloc();
    if (!m_codec || !m_frame || !m_packet) {
        CloseDecoder();
        return E_OUTOFMEMORY;
    }
    const BYTE* extra = nullptr;
    size_t extraSize = 0;
    if (in.majortype == MEDIATYPE_Video) {
        size_t headerSize = 0;
        const BITMAPINFOHEADER* bih = videoHeader(in, &m_frameTime, &headerSize);
        m_width = bih->biWidth;
        m_height = bih->biHeight < 0 ? -bih->biHeight : bih->biHeight;
        m_codec->width = m_width;
        m_codec->height = m_height;
        extra = in.pbFormat + headerSize;
        extraSize = in.cbFormat - headerSize;
    } else {
        const WAVEFORMATEX* wf = waveHeader(in);
        m_width = m_height = 0;
        m_rate = static_cast<int>(wf->nSamplesPerSec);
        m_channels = wf->nChannels >= 2 ? 2 : 1;
        m_codec->sample_rate = m_rate;
        av_channel_layout_default(&m_codec->ch_layout, wf->nChannels);
        size_t tail = in.cbFormat - sizeof(WAVEFORMATEX);
        extra = in.pbFormat + sizeof(WAVEFORMATEX);
        extraSize = wf->cbSize < tail ? wf->cbSize : tail;
    }
    if (extraSize > 0 && extraSize < (1u << 20)) {
        m_codec->extradata = static_cast<uint8_t*>(av_mallocz(extraSize + AV_INPUT_BUFFER_PADDING_SIZE));
        if (m_codec->extradata) {
            std::memcpy(m_codec->extradata, extra, extraSize);
            m_codec->extradata_size = static_cast<int>(extraSize);
        }
    }
    m_codec->pkt_timebase = kTimeBase100ns;
    m_codec->thread_count = 1;
    if (avcodec_open2(m_codec, codec, nullptr) < 0) {
        CloseDecoder();
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    m_frames = 0;
    return S_OK;
}

void AVDecoderFilter::CloseDecoder() {
    avcodec_free_context(&m_codec);
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
    sws_freeContext(m_sws);
    m_sws = nullptr;
    swr_free(&m_swr);
    m_swrInRate = 0;
    m_swrInFormat = -1;
    m_swrInChannels = 0;
}

HRESULT AVDecoderFilter::Receive(IMediaSample* sample) {
    std::lock_guard<std::mutex> guard(m_streamLock);
    if (!m_codec) return VFW_E_NOT_CONNECTED;
    BYTE* data = nullptr;
    LONG len = sample->GetActualDataLength();
    if (FAILED(sample->GetPointer(&data)) || !data || len <= 0) return S_OK;
    if (av_new_packet(m_packet, len) < 0) return E_OUTOFMEMORY;
    std::memcpy(m_packet->data, data, static_cast<size_t>(len));
    REFERENCE_TIME start = 0, end = 0;
    HRESULT t = sample->GetTime(&start, &end);
    m_packet->pts = (t == S_OK || t == VFW_S_NO_STOP_TIME) ? start : AV_NOPTS_VALUE;
    if (sample->IsSyncPoint() == S_OK) m_packet->flags |= AV_PKT_FLAG_KEY;
    HRESULT hr = Decode(m_packet);
    av_packet_unref(m_packet);
    return hr;
}

HRESULT AVDecoderFilter::Decode(AVPacket* packet) {
    for (;;) {
        int sent = avcodec_send_packet(m_codec, packet);
        // Broken input is part of broadcast life: a packet the decoder refuses is skipped.
        for (;;) {
            int ret = avcodec_receive_frame(m_codec, m_frame);
            if (ret < 0) break;
            HRESULT hr = IsVideo() ? DeliverVideo(m_frame) : DeliverAudio(m_frame);
            av_frame_unref(m_frame);
            // Downstream that refuses samples (stopping, not connected) ends this burst.
            if (hr != S_OK) return hr;
        }
        // A full decoder takes the packet once its frames are out.
        if (sent != AVERROR(EAGAIN)) return S_OK;
    }
}

HRESULT AVDecoderFilter::DeliverVideo(AVFrame* frame) {
    CBaseOutputPin* out = OutputPin();
    if (!out->IsConnected()) return S_OK;
    const CMediaType& type = out->CurrentMediaType();
    bool yuy2 = type.subtype == MEDIASUBTYPE_YUY2;
    m_sws = sws_getCachedContext(
        m_sws, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), m_width, m_height,
        yuy2 ? AV_PIX_FMT_YUYV422 : AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!m_sws) return S_OK;
    ComPtr<IMediaSample> sample;
    HRESULT hr = out->GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    LONG size = frameBytes(type.subtype, m_width, m_height);
    if (size > sample->GetSize()) return VFW_E_BUFFER_OVERFLOW;
    BYTE* dst = nullptr;
    sample->GetPointer(&dst);
    uint8_t* planes[4] = {dst, nullptr, nullptr, nullptr};
    int strides[4] = {static_cast<int>(m_width * 2), 0, 0, 0};
    if (!yuy2) {
        // RGB rows are stored bottom-up: start at the last row and walk backwards.
        int stride = static_cast<int>(size / m_height);
        planes[0] = dst + static_cast<ptrdiff_t>(stride) * (m_height - 1);
        strides[0] = -stride;
    }
    sws_scale(m_sws, frame->data, frame->linesize, 0, frame->height, planes, strides);
    sample->SetActualDataLength(size);
    REFERENCE_TIME start = frame->best_effort_timestamp;
    if (start != AV_NOPTS_VALUE) {
        REFERENCE_TIME duration = m_frameTime;
        if (frame->pkt_duration > 0) duration = frame->pkt_duration;
        REFERENCE_TIME end = start + duration;
        sample->SetTime(&start, &end);
    }
    sample->SetSyncPoint(TRUE_);
    ++m_frames;
    return out->Deliver(sample.Get());
}

HRESULT AVDecoderFilter::DeliverAudio(AVFrame* frame) {
    CBaseOutputPin* out = OutputPin();
    if (!out->IsConnected()) return S_OK;
    int inChannels = frame->ch_layout.nb_channels;
    if (!m_swr || m_swrInRate != frame->sample_rate || m_swrInFormat != frame->format ||
        m_swrInChannels != inChannels) {
        swr_free(&m_swr);
        AVChannelLayout outLayout;
        av_channel_layout_default(&outLayout, m_channels);
        if (swr_alloc_set_opts2(&m_swr, &outLayout, AV_SAMPLE_FMT_S16, m_rate, &frame->ch_layout,
                                static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0,
                                nullptr) < 0 ||
            swr_init(m_swr) < 0) {
            swr_free(&m_swr);
            return S_OK;
        }
        m_swrInRate = frame->sample_rate;
        m_swrInFormat = frame->format;
        m_swrInChannels = inChannels;
    }
    ComPtr<IMediaSample> sample;
    HRESULT hr = out->GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    BYTE* dst = nullptr;
    sample->GetPointer(&dst);
    int capacity = sample->GetSize() / (m_channels * 2);
    uint8_t* planes[1] = {dst};
    int got = swr_convert(m_swr, planes, capacity, const_cast<const uint8_t**>(frame->extended_data),
                          frame->nb_samples);
    if (got <= 0) return S_OK;
    sample->SetActualDataLength(got * m_channels * 2);
    REFERENCE_TIME start = frame->best_effort_timestamp;
    if (start != AV_NOPTS_VALUE) {
        REFERENCE_TIME end = start + static_cast<REFERENCE_TIME>(got) * 10000000 / m_rate;
        sample->SetTime(&start, &end);
    }
    sample->SetSyncPoint(TRUE_);
    ++m_frames;
    return out->Deliver(sample.Get());
}

void AVDecoderFilter::DropHeldFrames() {
    std::lock_guard<std::mutex> guard(m_streamLock);
    if (m_codec) avcodec_flush_buffers(m_codec);
    // The resampler's carry-over belongs to the old position too.
    swr_free(&m_swr);
    m_swrInRate = 0;
    m_swrInFormat = -1;
    m_swrInChannels = 0;
}

HRESULT AVDecoderFilter::Stop() {
    HRESULT hr = CTransformFilter::Stop();
    DropHeldFrames();
    return hr;
}

HRESULT AVDecoderFilter::EndFlush() {
    DropHeldFrames();
    return CTransformFilter::EndFlush();
}

HRESULT AVDecoderFilter::EndOfStream() {
    std::lock_guard<std::mutex> guard(m_streamLock);
    if (m_codec) {
        // Drain what the decoder still holds, then make it ready for a later run.
        Decode(nullptr);
        avcodec_flush_buffers(m_codec);
    }
    return CTransformFilter::EndOfStream();
}

HRESULT CreateDecoderFor(const AM_MEDIA_TYPE& mt, IBaseFilter** decoder) {
    if (!decoder) return E_POINTER;
    *decoder = nullptr;
    if (!AVDecoderFilter::CanDecode(mt)) return VFW_E_TYPE_NOT_ACCEPTED;
    *decoder = CreateComObject<AVDecoderFilter>();
    return S_OK;
}

void QuietMediaLibraries() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* level = std::getenv("PELMO_AV_LOG");
        av_log_set_level(level ? std::atoi(level) : AV_LOG_QUIET);
    });
}
