#include "platform/graph/MediaFileSource.h"

#include <cstdint>
extern "C" {
#include <libavformat/avformat.h>
}

#include <cstring>

#include "base/Text.h"
#include "platform/graph/AVDecoderFilter.h"
#include "platform/graph/MediaFileSourcePin.h"

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
bool typeOfStream(const AVStream* st, CMediaType* mt) {
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
}  // namespace

MediaFileSource::MediaFileSource() : CBaseFilter(L"Media File Source", CLSID_MediaFileSource) {
    QuietMediaLibraries();
}

MediaFileSource::~MediaFileSource() {
    // Pins (and their threads) go before the demuxer they read.
    m_pins.clear();
    for (auto& q : m_queues)
        for (AVPacket* p : q) av_packet_free(&p);
    avformat_close_input(&m_format);
}

HRESULT MediaFileSource::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IFileSourceFilter) {
        *ppv = static_cast<IFileSourceFilter*>(this);
        return S_OK;
    }
    if (riid == IID_IMediaSeeking) {
        *ppv = static_cast<IMediaSeeking*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

int MediaFileSource::GetPinCount() {
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    return static_cast<int>(m_pins.size());
}

CBasePin* MediaFileSource::GetPin(int n) {
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    return n >= 0 && n < static_cast<int>(m_pins.size()) ? m_pins[static_cast<size_t>(n)].get() : nullptr;
}

HRESULT MediaFileSource::Load(LPCOLESTR fileName, const AM_MEDIA_TYPE*) {
    if (!fileName) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    if (m_format) return E_UNEXPECTED;
    std::string path = WideToUtf8(fileName);
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0)
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    if (avformat_find_stream_info(format, nullptr) < 0) {
        avformat_close_input(&format);
        return VFW_E_INVALIDMEDIATYPE;
    }
    struct Choice {
        AVMediaType kind;
        const wchar_t* name;
        LONG bufferSize;
    };
    const Choice choices[] = {{AVMEDIA_TYPE_VIDEO, L"Video", 4 << 20},
                              {AVMEDIA_TYPE_AUDIO, L"Audio", 256 << 10}};
    // In a multiplex of several services the sound comes from the programme of the picture.
    int related = -1;
    for (const Choice& c : choices) {
        int index = av_find_best_stream(format, c.kind, -1, related, nullptr, 0);
        if (c.kind == AVMEDIA_TYPE_VIDEO && index >= 0) related = index;
        if (index < 0) continue;
        CMediaType mt;
        if (!typeOfStream(format->streams[index], &mt)) continue;
        m_pins.push_back(
            std::make_unique<MediaFileSourcePin>(this, &m_filterLock, c.name, index, mt, c.bufferSize));
    }
    if (m_pins.empty()) {
        avformat_close_input(&format);
        return VFW_E_INVALIDMEDIATYPE;
    }
    std::lock_guard<std::mutex> demux(m_demuxLock);
    m_format = format;
    m_fileName = fileName;
    m_queues.assign(format->nb_streams, {});
    // Times count from the first timestamp of the carried streams: in a multiplex other
    // services (or teletext) may start hours away from the chosen programme.
    m_startTime = AV_NOPTS_VALUE;
    for (auto& pin : m_pins) {
        const AVStream* st = format->streams[pin->StreamIndex()];
        if (st->start_time == AV_NOPTS_VALUE) continue;
        int64_t t = av_rescale_q(st->start_time, st->time_base, AV_TIME_BASE_Q);
        if (m_startTime == AV_NOPTS_VALUE || t < m_startTime) m_startTime = t;
    }
    if (m_startTime == AV_NOPTS_VALUE)
        m_startTime = format->start_time != AV_NOPTS_VALUE ? format->start_time : 0;
    return S_OK;
}

HRESULT MediaFileSource::GetCurFile(OLECHAR** fileName, AM_MEDIA_TYPE* mt) {
    if (!fileName) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    *fileName = nullptr;
    if (!m_format) return E_FAIL;
    *fileName = SysAllocString(m_fileName.c_str());
    if (mt) std::memset(mt, 0, sizeof *mt);
    return S_OK;
}

bool MediaFileSource::StreamWanted(int streamIndex) {
    for (auto& pin : m_pins)
        if (pin->StreamIndex() == streamIndex && pin->IsConnected()) return true;
    return false;
}

AVPacket* MediaFileSource::NextPacket(int streamIndex) {
    std::lock_guard<std::mutex> demux(m_demuxLock);
    if (!m_format || streamIndex < 0 || static_cast<size_t>(streamIndex) >= m_queues.size()) return nullptr;
    auto& mine = m_queues[static_cast<size_t>(streamIndex)];
    while (mine.empty() && !m_endOfFile) {
        AVPacket* p = av_packet_alloc();
        if (!p) return nullptr;
        if (av_read_frame(m_format, p) < 0) {
            av_packet_free(&p);
            m_endOfFile = true;
            break;
        }
        // Packets of streams no pin carries are dropped at once.
        if (p->stream_index >= 0 && static_cast<size_t>(p->stream_index) < m_queues.size() &&
            StreamWanted(p->stream_index))
            m_queues[static_cast<size_t>(p->stream_index)].push_back(p);
        else
            av_packet_free(&p);
    }
    if (mine.empty()) return nullptr;
    AVPacket* p = mine.front();
    mine.pop_front();
    return p;
}

void MediaFileSource::DropQueued(int streamIndex) {
    std::lock_guard<std::mutex> demux(m_demuxLock);
    if (streamIndex < 0 || static_cast<size_t>(streamIndex) >= m_queues.size()) return;
    for (AVPacket* p : m_queues[static_cast<size_t>(streamIndex)]) av_packet_free(&p);
    m_queues[static_cast<size_t>(streamIndex)].clear();
}

REFERENCE_TIME MediaFileSource::ToReferenceTime(int streamIndex, int64_t ts) const {
    AVRational tb = m_format->streams[streamIndex]->time_base;
    return av_rescale_q(ts, tb, kTimeBase100ns) - av_rescale_q(m_startTime, AV_TIME_BASE_Q, kTimeBase100ns);
}

void MediaFileSource::NoteDelivered(REFERENCE_TIME t) {
    std::lock_guard<std::mutex> demux(m_demuxLock);
    if (t > m_position) m_position = t;
}

HRESULT MediaFileSource::GetCapabilities(DWORD* caps) {
    if (!caps) return E_POINTER;
    *caps = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards | AM_SEEKING_CanSeekBackwards |
            AM_SEEKING_CanGetCurrentPos | AM_SEEKING_CanGetStopPos | AM_SEEKING_CanGetDuration;
    return S_OK;
}

HRESULT MediaFileSource::CheckCapabilities(DWORD* caps) {
    if (!caps) return E_POINTER;
    DWORD mine = 0;
    GetCapabilities(&mine);
    DWORD asked = *caps;
    *caps &= mine;
    if (*caps == asked) return S_OK;
    return *caps ? S_FALSE : E_FAIL;
}

HRESULT MediaFileSource::GetDuration(LONGLONG* duration) {
    if (!duration) return E_POINTER;
    std::lock_guard<std::mutex> demux(m_demuxLock);
    if (!m_format || m_format->duration == AV_NOPTS_VALUE) return E_FAIL;
    *duration = av_rescale_q(m_format->duration, AV_TIME_BASE_Q, kTimeBase100ns);
    return S_OK;
}

HRESULT MediaFileSource::GetStopPosition(LONGLONG* stop) {
    return GetDuration(stop);
}

HRESULT MediaFileSource::GetCurrentPosition(LONGLONG* current) {
    if (!current) return E_POINTER;
    std::lock_guard<std::mutex> demux(m_demuxLock);
    *current = m_position;
    return S_OK;
}

HRESULT MediaFileSource::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG*, DWORD) {
    DWORD how = currentFlags & AM_SEEKING_PositioningBitsMask;
    if (how == AM_SEEKING_NoPositioning) return S_OK;
    if (!current) return E_POINTER;
    std::lock_guard<std::mutex> demux(m_demuxLock);
    if (!m_format) return E_UNEXPECTED;
    REFERENCE_TIME target = how == AM_SEEKING_RelativePositioning ? m_position + *current : *current;
    if (target < 0) target = 0;
    // The start is the first byte: a timestamp search can land just past the first key frame
    // when the picture's times begin after the sound's.
    int result;
    if (target == 0) {
        result = av_seek_frame(m_format, -1, 0, AVSEEK_FLAG_BYTE);
    } else {
        int64_t ts = av_rescale_q(target, kTimeBase100ns, AV_TIME_BASE_Q) + m_startTime;
        result = avformat_seek_file(m_format, -1, INT64_MIN, ts, ts, 0);
        if (result < 0) result = av_seek_frame(m_format, -1, ts, AVSEEK_FLAG_BACKWARD);
    }
    if (result < 0) return E_FAIL;
    for (auto& q : m_queues) {
        for (AVPacket* p : q) av_packet_free(&p);
        q.clear();
    }
    m_endOfFile = false;
    m_position = target;
    return S_OK;
}

HRESULT MediaFileSource::GetPositions(LONGLONG* current, LONGLONG* stop) {
    if (current) GetCurrentPosition(current);
    if (stop && FAILED(GetStopPosition(stop))) *stop = 0;
    return S_OK;
}

HRESULT MediaFileSource::GetAvailable(LONGLONG* earliest, LONGLONG* latest) {
    if (earliest) *earliest = 0;
    if (latest && FAILED(GetDuration(latest))) *latest = 0;
    return S_OK;
}

HRESULT CreateMediaFileSource(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    ComPtr<MediaFileSource> source;
    source.Attach(CreateComObject<MediaFileSource>());
    return source->QueryInterface(riid, ppv);
}
