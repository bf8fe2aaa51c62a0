#include "platform/sbe/StreamBufferSource.h"

#include <cstdint>
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "base/Log.h"
#include "platform/graph/AVDecoderFilter.h"
#include "platform/graph/SourceStream.h"
#include "platform/graph/StreamMediaType.h"
#include "platform/sbe/SbePath.h"
#include "platform/sbe/TimeShiftReader.h"

namespace {
constexpr AVRational kTimeBase100ns = {1, 10000000};
constexpr AVRational kPtsBase = {1, 90000};
constexpr int64_t kPtsWrap = int64_t(1) << 33;
constexpr int kIoBufferSize = 64 * 1024;

int readCallback(void* opaque, uint8_t* buffer, int size) {
    int n = static_cast<TimeShiftReader*>(opaque)->read(buffer, size);
    if (n == TimeShiftReader::kStopped) return AVERROR_EXIT;
    return n == TimeShiftReader::kEnd ? AVERROR_EOF : n;
}

// A growing buffer has no size. While the streams are probed there is none to give (probing
// must not go looking for the end); after that a byte seek needs one, and any offset up to
// the live edge may be asked for.
int64_t seekCallback(void* opaque, int64_t offset, int whence) {
    auto* reader = static_cast<TimeShiftReader*>(opaque);
    if (whence & AVSEEK_SIZE) return reader->probing() ? AVERROR(ENOSYS) : INT64_MAX / 2;
    switch (whence & ~AVSEEK_FORCE) {
        case SEEK_SET:
            reader->seek(offset);
            return offset;
        case SEEK_CUR:
            reader->seek(reader->position() + offset);
            return reader->position();
        default:
            return AVERROR(ENOSYS);
    }
}
}  // namespace

class StreamBufferSource::Pin : public CSourceStream {
public:
    Pin(StreamBufferSource* source, std::recursive_mutex* lock, const std::wstring& name, int streamIndex,
        const CMediaType& type, LONG bufferSize)
        : CSourceStream(source, lock, name.c_str()),
          m_source(source),
          m_streamIndex(streamIndex),
          m_type(type),
          m_bufferSize(bufferSize) {}

    int StreamIndex() const { return m_streamIndex; }
    HRESULT CheckMediaType(const CMediaType* mt) override {
        if (!mt) return E_POINTER;
        return mt->MatchesExactly(m_type) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT GetMediaType(int position, CMediaType* mt) override {
        if (position < 0) return E_INVALIDARG;
        if (position > 0) return VFW_S_NO_MORE_ITEMS;
        *mt = m_type;
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override {
        ALLOCATOR_PROPERTIES want{4, m_bufferSize, 1, 0};
        return allocator->SetProperties(&want, props);
    }

    HRESULT Active() override {
        m_source->SetDraining(m_streamIndex, true);
        return CSourceStream::Active();
    }
    HRESULT Inactive() override {
        HRESULT hr = CSourceStream::Inactive();
        m_source->SetDraining(m_streamIndex, false);
        return hr;
    }

protected:
    void OnDeliveryEnded() override { m_source->SetDraining(m_streamIndex, false); }
    void OnThreadStart() override {
        if (IsConnected()) DeliverNewSegment(m_source->SegmentStart(), INT64_MAX, 1.0);
    }
    void OnStopRequested() override { m_source->Interrupt(); }
    HRESULT FillBuffer(IMediaSample* sample) override {
        for (;;) {
            if (StopRequested()) return S_FALSE;
            AVPacket* packet = m_source->NextPacket(m_streamIndex);
            if (!packet) {
                // Woken by a stop or seek of the whole filter: no end of stream for that.
                while (m_source->Interrupted() && !StopRequested())
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                return S_FALSE;
            }
            BYTE* dst = nullptr;
            sample->GetPointer(&dst);
            if (packet->size <= 0 || packet->size > sample->GetSize() || !dst) {
                av_packet_free(&packet);
                sample->SetDiscontinuity(TRUE_);
                continue;
            }
            std::memcpy(dst, packet->data, static_cast<size_t>(packet->size));
            sample->SetActualDataLength(packet->size);
            REFERENCE_TIME start = 0, end = 0;
            if (m_source->StampOf(m_streamIndex, packet, start, end))
                sample->SetTime(&start, &end);
            else
                sample->SetTime(nullptr, nullptr);
            sample->SetSyncPoint((packet->flags & AV_PKT_FLAG_KEY) != 0);
            av_packet_free(&packet);
            return S_OK;
        }
    }

private:
    StreamBufferSource* m_source;
    int m_streamIndex;
    CMediaType m_type;
    LONG m_bufferSize;
};

StreamBufferSource::StreamBufferSource() : CBaseFilter(L"Stream Buffer Source", CLSID_StreamBufferSource) {
    QuietMediaLibraries();
}

StreamBufferSource::~StreamBufferSource() {
    // Pins (and their threads) go before the demuxer they read.
    if (m_reader) m_reader->requestStop();
    m_pins.clear();
    for (auto& q : m_queues)
        for (AVPacket* p : q) av_packet_free(&p);
    avformat_close_input(&m_format);
    if (m_io) av_freep(&m_io->buffer);
    avio_context_free(&m_io);
}

HRESULT StreamBufferSource::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IFileSourceFilter) {
        *ppv = static_cast<IFileSourceFilter*>(this);
    } else if (riid == IID_IMediaSeeking || riid == IID_IStreamBufferMediaSeeking) {
        *ppv = static_cast<IStreamBufferMediaSeeking*>(this);
    } else if (riid == IID_IStreamBufferInitialize) {
        *ppv = static_cast<IStreamBufferInitialize*>(this);
    } else if (riid == IID_IStreamBufferSource) {
        *ppv = static_cast<IStreamBufferSource*>(this);
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    return S_OK;
}

int StreamBufferSource::GetPinCount() {
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    return static_cast<int>(m_pins.size());
}

CBasePin* StreamBufferSource::GetPin(int n) {
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    return n >= 0 && n < static_cast<int>(m_pins.size()) ? m_pins[static_cast<size_t>(n)].get() : nullptr;
}

HRESULT StreamBufferSource::SetHKEY(HKEY key) {
    if (!key) return E_INVALIDARG;
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    m_settings = BufferSettings::fromKey(key);
    return S_OK;
}

HRESULT StreamBufferSource::SetStreamSink(IStreamBufferSink* sink) {
    return sink ? S_OK : E_POINTER;
}

HRESULT StreamBufferSource::Load(LPCOLESTR fileName, const AM_MEDIA_TYPE*) {
    if (!fileName) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    if (m_reader) return E_UNEXPECTED;
    std::string path = SbeFilePath(fileName);
    auto reader = std::make_unique<TimeShiftReader>(path);
    std::string why;
    if (!reader->open(why)) {
        error(L"StreamBufferSource: cannot open %S: %S", path.c_str(), why.c_str());
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    BufferManifest m;
    reader->manifest(m);
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    AVIOContext* io = buffer ? avio_alloc_context(buffer, kIoBufferSize, 0, reader.get(), readCallback,
                                                  nullptr, seekCallback)
                             : nullptr;
    AVFormatContext* format = avformat_alloc_context();
    if (!io || !format) {
        if (io)
            av_freep(&io->buffer);
        else
            av_free(buffer);
        avio_context_free(&io);
        avformat_free_context(format);
        return E_OUTOFMEMORY;
    }
    format->pb = io;
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    format->probesize = 2 << 20;
    format->max_analyze_duration = 2 * AV_TIME_BASE;
    // A stream whose codec is only guessed (SMPTE 302M sound, say, is looked into for what it
    // may wrap) would otherwise be read up to the whole probe size, seconds of a live buffer.
    format->max_probe_packets = 100;
    int result = avformat_open_input(&format, nullptr, av_find_input_format("mpegts"), nullptr);
    if (result >= 0) result = avformat_find_stream_info(format, nullptr);
    reader->setProbing(false);
    // The sink starts its first segment (PAT, PMT, a key frame) with the first picture it
    // receives: a buffer that still has none after the probe's wait has received nothing.
    BufferManifest now;
    if ((result < 0 || format->nb_streams == 0) && reader->manifest(now) && now.segments.empty()) {
        avformat_close_input(&format);
        av_freep(&io->buffer);
        avio_context_free(&io);
        // The pins a digital channel has by default, which deliver nothing. What is received
        // later is not read: these pins stay silent (a host that wants it opens again).
        if (!makeDefaultPins()) return E_OUTOFMEMORY;
        info(
            L"StreamBufferSource: nothing has been received into %S; it loads with default video and "
            L"audio pins that deliver nothing",
            path.c_str());
        std::lock_guard<std::mutex> demux(m_demuxLock);
        m_nothingReceived = true;
        m_reader = std::move(reader);
        m_fileName = fileName;
        return S_OK;
    }
    if (result < 0 || format->nb_streams == 0) {
        error(L"StreamBufferSource: %S holds no readable programme", path.c_str());
        avformat_close_input(&format);
        av_freep(&io->buffer);
        avio_context_free(&io);
        return VFW_E_INVALIDMEDIATYPE;
    }
    int videos = 0, audios = 0;
    std::string carried, undelivered;  // codec names: of every stream, of those that get no pin
    for (int pass = 0; pass < 2; ++pass) {
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            AVMediaType kind = format->streams[i]->codecpar->codec_type;
            if ((pass == 0) != (kind == AVMEDIA_TYPE_VIDEO)) continue;
            const char* codec = avcodec_get_name(format->streams[i]->codecpar->codec_id);
            carried += (carried.empty() ? "" : ", ") + std::string(codec);
            CMediaType mt;
            if (!CompressedMediaTypeOfStream(format->streams[i], &mt)) {
                undelivered += (undelivered.empty() ? "" : ", ") + std::string(codec);
                continue;
            }
            int& count = kind == AVMEDIA_TYPE_VIDEO ? videos : audios;
            std::wstring name = kind == AVMEDIA_TYPE_VIDEO ? L"Video" : L"Audio";
            if (count++ > 0) name += L" " + std::to_wstring(count);
            m_pins.push_back(std::make_unique<Pin>(this, &m_filterLock, name, static_cast<int>(i), mt,
                                                   kind == AVMEDIA_TYPE_VIDEO ? 4 << 20 : 256 << 10));
        }
    }
    // Streams of a kind the graph cannot carry stay in the buffer but get no pin. A programme
    // without a picture still loads, with its sound pins or none: whoever builds on it finds
    // no video pin and says so.
    if (videos == 0)
        error(L"StreamBufferSource: %S has no picture that can be delivered (it carries %S)", path.c_str(),
              carried.empty() ? "no stream" : carried.c_str());
    else if (!undelivered.empty())
        info(L"StreamBufferSource: %S: no pin for what cannot be delivered (%S)", path.c_str(),
             undelivered.c_str());
    std::lock_guard<std::mutex> demux(m_demuxLock);
    m_reader = std::move(reader);
    m_format = format;
    m_io = io;
    m_fileName = fileName;
    m_queues.assign(format->nb_streams, {});
    m_needKey.assign(format->nb_streams, false);
    m_draining.assign(format->nb_streams, false);
    m_originPts = m.originPts > 0 ? m.originPts : 0;
    m_position = m.segments.empty() ? 0 : m.segments.front().position;
    m_segmentStart = m_position;
    return S_OK;
}

// MPEG-2 video (720x576, 25 frames a second) and MPEG audio (48 kHz stereo), under the types
// the same streams get when they are probed.
bool StreamBufferSource::makeDefaultPins() {
    AVFormatContext* scratch = avformat_alloc_context();
    if (!scratch) return false;
    AVStream* video = avformat_new_stream(scratch, nullptr);
    AVStream* audio = avformat_new_stream(scratch, nullptr);
    bool made = false;
    if (video && audio) {
        video->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        video->codecpar->codec_id = AV_CODEC_ID_MPEG2VIDEO;
        video->codecpar->width = 720;
        video->codecpar->height = 576;
        video->avg_frame_rate = {25, 1};
        audio->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        audio->codecpar->codec_id = AV_CODEC_ID_MP2;
        audio->codecpar->sample_rate = 48000;
        av_channel_layout_default(&audio->codecpar->ch_layout, 2);
        CMediaType videoType, audioType;
        made =
            CompressedMediaTypeOfStream(video, &videoType) && CompressedMediaTypeOfStream(audio, &audioType);
        if (made) {
            m_pins.push_back(std::make_unique<Pin>(this, &m_filterLock, L"Video", -1, videoType, 4 << 20));
            m_pins.push_back(std::make_unique<Pin>(this, &m_filterLock, L"Audio", -1, audioType, 256 << 10));
        }
    }
    avformat_free_context(scratch);
    return made;
}

HRESULT StreamBufferSource::GetCurFile(OLECHAR** fileName, AM_MEDIA_TYPE* mt) {
    if (!fileName) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    *fileName = nullptr;
    if (!m_reader) return E_FAIL;
    *fileName = SysAllocString(m_fileName.c_str());
    if (mt) std::memset(mt, 0, sizeof *mt);
    return S_OK;
}

bool StreamBufferSource::wanted(int streamIndex) {
    for (auto& pin : m_pins)
        if (pin->StreamIndex() == streamIndex && pin->IsConnected()) return true;
    return false;
}

AVPacket* StreamBufferSource::NextPacket(int streamIndex) {
    if (m_nothingReceived) {
        // Nothing to read: wait (without the demuxer's lock) for a stop or seek.
        m_reader->awaitStop();
        return nullptr;
    }
    std::lock_guard<std::mutex> demux(m_demuxLock);
    if (!m_format || streamIndex < 0 || static_cast<size_t>(streamIndex) >= m_queues.size()) return nullptr;
    auto& mine = m_queues[static_cast<size_t>(streamIndex)];
    while (mine.empty() && !m_endOfBuffer) {
        // A stream far ahead of another (whose decoder is starved of CPU, say) waits until the
        // other has taken some of its packets, instead of reading on and queueing them all.
        if (otherQueueFull(streamIndex)) {
            if (m_reader->stopRequested()) break;
            if (m_queueFullHook) m_queueFullHook();
            m_queueSpace.wait(m_demuxLock);
            continue;
        }
        AVPacket* p = av_packet_alloc();
        if (!p) return nullptr;
        int result = av_read_frame(m_format, p);
        if (result < 0) {
            av_packet_free(&p);
            if (result != AVERROR_EXIT) m_endOfBuffer = true;
            break;
        }
        size_t index = static_cast<size_t>(p->stream_index);
        if (p->stream_index < 0 || index >= m_queues.size() || !wanted(p->stream_index) ||
            !m_draining[index]) {
            av_packet_free(&p);
            continue;
        }
        // After a seek a picture stream starts at its key frame.
        if (m_needKey[index]) {
            if (!(p->flags & AV_PKT_FLAG_KEY)) {
                av_packet_free(&p);
                continue;
            }
            m_needKey[index] = false;
        }
        m_queues[index].push_back(p);
        m_peakQueued = std::max(m_peakQueued, m_queues[index].size());
    }
    if (mine.empty()) return nullptr;
    AVPacket* p = mine.front();
    mine.pop_front();
    m_queueSpace.notify_all();
    return p;
}

bool StreamBufferSource::otherQueueFull(int streamIndex) {
    for (size_t i = 0; i < m_queues.size(); ++i)
        if (static_cast<int>(i) != streamIndex && m_draining[i] && m_queues[i].size() >= m_maxQueued)
            return true;
    return false;
}

void StreamBufferSource::SetDraining(int streamIndex, bool draining) {
    std::lock_guard<std::mutex> demux(m_demuxLock);
    if (streamIndex < 0 || static_cast<size_t>(streamIndex) >= m_queues.size()) return;
    m_draining[static_cast<size_t>(streamIndex)] = draining;
    if (!draining) {
        for (AVPacket* p : m_queues[static_cast<size_t>(streamIndex)]) av_packet_free(&p);
        m_queues[static_cast<size_t>(streamIndex)].clear();
    }
    m_queueSpace.notify_all();
}

void StreamBufferSource::SetMaxQueuedPackets(size_t n) {
    std::lock_guard<std::mutex> demux(m_demuxLock);
    m_maxQueued = n > 0 ? n : 1;
    m_queueSpace.notify_all();
}

void StreamBufferSource::SetQueueFullHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> demux(m_demuxLock);
    m_queueFullHook = std::move(hook);
}

size_t StreamBufferSource::PeakQueuedPackets() {
    std::lock_guard<std::mutex> demux(m_demuxLock);
    return m_peakQueued;
}

bool StreamBufferSource::StampOf(int streamIndex, const AVPacket* packet, REFERENCE_TIME& start,
                                 REFERENCE_TIME& end) {
    int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (ts == AV_NOPTS_VALUE) return false;
    std::lock_guard<std::mutex> demux(m_demuxLock);
    if (!m_format) return false;
    AVRational tb = m_format->streams[streamIndex]->time_base;
    int64_t pts = av_rescale_q(ts, tb, kPtsBase);
    int64_t d = ((pts - m_originPts) % kPtsWrap + kPtsWrap) % kPtsWrap;
    if (d > kPtsWrap / 2) d -= kPtsWrap;
    REFERENCE_TIME position = d * 1000 / 9;
    REFERENCE_TIME length = packet->duration > 0 ? av_rescale_q(packet->duration, tb, kTimeBase100ns) : 1;
    if (position > m_position) m_position = position;
    start = position - m_segmentStart;
    end = start + length;
    return true;
}

REFERENCE_TIME StreamBufferSource::SegmentStart() {
    std::lock_guard<std::mutex> demux(m_demuxLock);
    return m_segmentStart;
}

void StreamBufferSource::Interrupt() {
    if (!m_reader) return;
    m_reader->requestStop();
    // Under the lock, so that a stream waiting for another's queue cannot miss it; a read
    // that held the lock at the live edge has just been woken by the stop.
    std::lock_guard<std::mutex> demux(m_demuxLock);
    m_queueSpace.notify_all();
}

bool StreamBufferSource::Interrupted() {
    return m_reader && m_reader->stopRequested();
}

void StreamBufferSource::SetLiveEdgeHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> demux(m_demuxLock);
    if (m_reader) m_reader->setWaitHook(std::move(hook));
}

HRESULT StreamBufferSource::seekLocked(REFERENCE_TIME target) {
    // A read that a stop or seek interrupted left its error behind.
    m_reader->clearStop();
    if (m_nothingReceived) {
        m_segmentStart = m_position = target;
        return S_OK;
    }
    m_format->pb->error = 0;
    m_format->pb->eof_reached = 0;
    IndexEntry key;
    if (!m_reader->findKeyFrame(target, key)) return E_FAIL;
    // The move goes through the reader even when the bytes are still in the I/O buffer: the
    // reader decides what is still there (a deleted segment is not read again).
    m_reader->seek(key.offset);
    AVIOContext* pb = m_format->pb;
    pb->buf_ptr = pb->buf_end = pb->buffer;
    pb->pos = key.offset;
    avformat_flush(m_format);
    for (auto& q : m_queues) {
        for (AVPacket* p : q) av_packet_free(&p);
        q.clear();
    }
    for (unsigned i = 0; i < m_format->nb_streams; ++i)
        m_needKey[i] = m_format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    // A stream that had ended plays again from here.
    for (auto& pin : m_pins)
        if (pin->StreamIndex() >= 0 && static_cast<size_t>(pin->StreamIndex()) < m_draining.size())
            m_draining[static_cast<size_t>(pin->StreamIndex())] = pin->IsConnected();
    m_queueSpace.notify_all();
    m_endOfBuffer = false;
    m_segmentStart = target;
    m_position = target;
    return S_OK;
}

HRESULT StreamBufferSource::Pause() {
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    if (IsStopped() && m_reader) {
        std::lock_guard<std::mutex> demux(m_demuxLock);
        // A run starts where SetPositions put it, else where the last one got to.
        if (!m_positioned) seekLocked(m_position);
        m_positioned = false;
        m_reader->clearStop();
    }
    return CBaseFilter::Pause();
}

HRESULT StreamBufferSource::GetCapabilities(DWORD* caps) {
    if (!caps) return E_POINTER;
    *caps = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards | AM_SEEKING_CanSeekBackwards |
            AM_SEEKING_CanGetCurrentPos | AM_SEEKING_CanGetStopPos | AM_SEEKING_CanGetDuration;
    return S_OK;
}

HRESULT StreamBufferSource::CheckCapabilities(DWORD* caps) {
    if (!caps) return E_POINTER;
    DWORD mine = 0;
    GetCapabilities(&mine);
    DWORD asked = *caps;
    *caps &= mine;
    if (*caps == asked) return S_OK;
    return *caps ? S_FALSE : E_FAIL;
}

HRESULT StreamBufferSource::GetAvailable(LONGLONG* earliest, LONGLONG* latest) {
    std::lock_guard<std::mutex> demux(m_demuxLock);
    if (!m_reader) return E_UNEXPECTED;
    BufferManifest m;
    if (!m_reader->manifest(m)) return E_FAIL;
    if (earliest) *earliest = m.segments.empty() ? 0 : std::max<int64_t>(m.segments.front().position, 0);
    if (latest) *latest = std::max<int64_t>(m.latest, 0);
    return S_OK;
}

HRESULT StreamBufferSource::GetDuration(LONGLONG* duration) {
    if (!duration) return E_POINTER;
    return GetAvailable(nullptr, duration);
}

HRESULT StreamBufferSource::GetStopPosition(LONGLONG* stop) {
    return GetDuration(stop);
}

HRESULT StreamBufferSource::GetCurrentPosition(LONGLONG* current) {
    if (!current) return E_POINTER;
    std::lock_guard<std::mutex> demux(m_demuxLock);
    *current = m_position;
    return S_OK;
}

HRESULT StreamBufferSource::GetPositions(LONGLONG* current, LONGLONG* stop) {
    if (current) GetCurrentPosition(current);
    if (stop && FAILED(GetStopPosition(stop))) *stop = 0;
    return S_OK;
}

HRESULT StreamBufferSource::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG*, DWORD) {
    DWORD how = currentFlags & AM_SEEKING_PositioningBitsMask;
    if (how == AM_SEEKING_NoPositioning) return S_OK;
    if (!current) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    if (!m_reader) return E_UNEXPECTED;
    LONGLONG earliest = 0, latest = 0;
    if (FAILED(GetAvailable(&earliest, &latest))) return E_FAIL;
    REFERENCE_TIME target;
    {
        std::lock_guard<std::mutex> demux(m_demuxLock);
        target = how == AM_SEEKING_RelativePositioning ? m_position + *current : *current;
    }
    target = std::clamp<REFERENCE_TIME>(target, earliest, latest);
    bool active = !IsStopped();
    if (active) {
        // Downstream drops what it holds, and every thread waits between samples (woken from
        // a read at the live edge) before the demuxer moves.
        for (auto& pin : m_pins) pin->RequestHold();
        Interrupt();
        for (auto& pin : m_pins) pin->AwaitHeld();
    }
    HRESULT hr;
    {
        std::lock_guard<std::mutex> demux(m_demuxLock);
        hr = seekLocked(target);
        m_positioned = !active && SUCCEEDED(hr);
    }
    if (active)
        for (auto& pin : m_pins) pin->ReleaseHold(target, INT64_MAX, 1.0);
    return hr;
}
