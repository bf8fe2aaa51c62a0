#include "platform/graph/MediaFileSource.h"

#include <cstdint>
extern "C" {
#include <libavformat/avformat.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/Text.h"
#include "platform/graph/AVDecoderFilter.h"
#include "platform/graph/MediaFileSourcePin.h"
#include "platform/graph/StreamMediaType.h"

namespace {
constexpr AVRational kTimeBase100ns = {1, 10000000};

}  // namespace

MediaFileSource::MediaFileSource() : CBaseFilter(L"Media File Source", CLSID_MediaFileSource) {
    QuietMediaLibraries();
}

MediaFileSource::~MediaFileSource() {
    // Pins (and their threads) go before the demuxer they read.
    Interrupt(true);
    m_pins.clear();
    for (auto& q : m_queues)
        for (AVPacket* p : q) av_packet_free(&p);
    avformat_close_input(&m_format);
    if (m_io) av_freep(&m_io->buffer);
    avio_context_free(&m_io);
    if (m_fd >= 0) close(m_fd);
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

HRESULT MediaFileSource::Stop() {
    // Every pin's thread learns it is stopping before a reader waiting at the end of the file
    // is woken, so none of them takes the wake-up for the end of the stream.
    for (auto& pin : m_pins) pin->RequestHold(false);
    Interrupt(true);
    HRESULT hr = CBaseFilter::Stop();
    Interrupt(false);
    return hr;
}

void MediaFileSource::Interrupt(bool on) {
    m_interrupt = on;
    { std::lock_guard<std::mutex> guard(m_edgeLock); }
    m_edgeWake.notify_all();
    if (!on) return;
    { std::lock_guard<std::mutex> guard(m_demuxLock); }
    m_queueSpace.notify_all();
}

int64_t MediaFileSource::FileSize() {
    struct stat st {};
    if (m_fd < 0 || fstat(m_fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

int MediaFileSource::ReadPacket(void* opaque, uint8_t* buf, int size) {
    return static_cast<MediaFileSource*>(opaque)->Read(buf, size);
}

int64_t MediaFileSource::Seek(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<MediaFileSource*>(opaque);
    if (whence == AVSEEK_SIZE) return self->FileSize();
    off_t r = lseek(self->m_fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return r < 0 ? AVERROR(errno) : static_cast<int64_t>(r);
}

int MediaFileSource::Read(uint8_t* buf, int size) {
    for (;;) {
        ssize_t n = read(m_fd, buf, static_cast<size_t>(size));
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return AVERROR(errno);
        // The live edge: wait for the writer, unless stopping, probing (which reads to the end
        // to guess a duration), the file is gone, or nobody has written it for the timeout.
        // Returning the end early would lose a half-written packet.
        if (m_interrupt.load() || m_probing) return AVERROR_EOF;
        struct stat st {};
        if (fstat(m_fd, &st) != 0 || st.st_nlink == 0) return AVERROR_EOF;
        DWORD limit = m_liveEdgeTimeoutMs.load();
        if (limit != INFINITE) {
            auto written = std::chrono::system_clock::time_point(
                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
            if (std::chrono::system_clock::now() - written >= std::chrono::milliseconds(limit))
                return AVERROR_EOF;
        }
        std::unique_lock<std::mutex> guard(m_edgeLock);
        m_edgeWake.wait_for(guard, std::chrono::milliseconds(10), [this] { return m_interrupt.load(); });
    }
}

HRESULT MediaFileSource::Load(LPCOLESTR fileName, const AM_MEDIA_TYPE*) {
    if (!fileName) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    if (m_format) return E_UNEXPECTED;
    std::string path = WideToUtf8(fileName);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    m_fd = fd;
    m_sizeAtOpen = static_cast<int64_t>(st.st_size);
    constexpr int kIoBufferSize = 1 << 16;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    if (buffer) m_io = avio_alloc_context(buffer, kIoBufferSize, 0, this, &ReadPacket, nullptr, &Seek);
    AVFormatContext* format = m_io ? avformat_alloc_context() : nullptr;
    auto fail = [&](HRESULT hr) {
        avformat_close_input(&format);
        if (m_io) {
            av_freep(&m_io->buffer);
            avio_context_free(&m_io);
        } else {
            av_free(buffer);
        }
        close(m_fd);
        m_fd = -1;
        return hr;
    };
    if (!format) return fail(E_OUTOFMEMORY);
    format->pb = m_io;
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    m_probing = true;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return fail(VFW_E_INVALIDMEDIATYPE);
    if (avformat_find_stream_info(format, nullptr) < 0) return fail(VFW_E_INVALIDMEDIATYPE);
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
        if (!CompressedMediaTypeOfStream(format->streams[index], &mt)) continue;
        m_pins.push_back(
            std::make_unique<MediaFileSourcePin>(this, &m_filterLock, c.name, index, mt, c.bufferSize));
    }
    if (m_pins.empty()) return fail(VFW_E_INVALIDMEDIATYPE);
    m_probing = false;
    if (m_io->eof_reached) {
        // The probe met the end of a file that may still be growing, perhaps in the middle of
        // a packet: what it read is suspect, so reading starts again from the first byte.
        m_io->eof_reached = 0;
        av_seek_frame(format, -1, 0, AVSEEK_FLAG_BYTE);
    }
    std::lock_guard<std::mutex> demux(m_demuxLock);
    m_format = format;
    m_fileName = fileName;
    m_queues.assign(format->nb_streams, {});
    m_draining.assign(format->nb_streams, false);
    // Times count from the first timestamp of the carried streams: in a multiplex other
    // services (or teletext) may start hours away from the chosen programme.
    m_startTime = AV_NOPTS_VALUE;
    int64_t end = AV_NOPTS_VALUE;
    for (auto& pin : m_pins) {
        const AVStream* s = format->streams[pin->StreamIndex()];
        if (s->start_time == AV_NOPTS_VALUE) continue;
        int64_t t = av_rescale_q(s->start_time, s->time_base, AV_TIME_BASE_Q);
        if (m_startTime == AV_NOPTS_VALUE || t < m_startTime) m_startTime = t;
        if (s->duration != AV_NOPTS_VALUE) {
            int64_t e = av_rescale_q(s->start_time + s->duration, s->time_base, AV_TIME_BASE_Q);
            if (end == AV_NOPTS_VALUE || e > end) end = e;
        }
    }
    if (m_startTime == AV_NOPTS_VALUE)
        m_startTime = format->start_time != AV_NOPTS_VALUE ? format->start_time : 0;
    if (end != AV_NOPTS_VALUE)
        m_durationAtOpen = av_rescale_q(end - m_startTime, AV_TIME_BASE_Q, kTimeBase100ns);
    else if (format->duration != AV_NOPTS_VALUE)
        m_durationAtOpen = av_rescale_q(format->duration, AV_TIME_BASE_Q, kTimeBase100ns);
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

bool MediaFileSource::OtherQueueFull(int streamIndex) {
    for (size_t i = 0; i < m_queues.size(); ++i)
        if (static_cast<int>(i) != streamIndex && m_draining[i] && m_queues[i].size() >= m_maxQueued)
            return true;
    return false;
}

void MediaFileSource::SetDraining(int streamIndex, bool draining) {
    {
        std::lock_guard<std::mutex> demux(m_demuxLock);
        if (streamIndex < 0 || static_cast<size_t>(streamIndex) >= m_queues.size()) return;
        m_draining[static_cast<size_t>(streamIndex)] = draining;
        if (!draining) {
            for (AVPacket* p : m_queues[static_cast<size_t>(streamIndex)]) av_packet_free(&p);
            m_queues[static_cast<size_t>(streamIndex)].clear();
        }
    }
    m_queueSpace.notify_all();
}

AVPacket* MediaFileSource::NextPacket(int streamIndex) {
    std::unique_lock<std::mutex> demux(m_demuxLock);
    if (!m_format || streamIndex < 0 || static_cast<size_t>(streamIndex) >= m_queues.size()) return nullptr;
    auto& mine = m_queues[static_cast<size_t>(streamIndex)];
    for (;;) {
        if (!mine.empty()) break;
        if (m_endOfFile || m_interrupt.load()) return nullptr;
        // One thread reads for all; the other waits for its packets. A stream far ahead waits
        // until the other has taken some of its own.
        if (m_reading || OtherQueueFull(streamIndex)) {
            m_queueSpace.wait(demux);
            continue;
        }
        m_reading = true;
        // The read may wait at the end of the file: the queues stay open meanwhile.
        demux.unlock();
        AVPacket* p = av_packet_alloc();
        int result = p ? av_read_frame(m_format, p) : AVERROR(ENOMEM);
        demux.lock();
        m_reading = false;
        m_queueSpace.notify_all();
        if (result < 0) {
            av_packet_free(&p);
            if (m_interrupt.load()) {
                // Not the end: reading goes on from here after the stop or seek.
                if (m_format->pb) m_format->pb->eof_reached = 0;
                return nullptr;
            }
            m_endOfFile = true;
            continue;
        }
        // Packets of streams no pin carries are dropped at once.
        if (p->stream_index >= 0 && static_cast<size_t>(p->stream_index) < m_queues.size() &&
            StreamWanted(p->stream_index)) {
            auto& queue = m_queues[static_cast<size_t>(p->stream_index)];
            queue.push_back(p);
            if (queue.size() > m_peakQueued) m_peakQueued = queue.size();
        } else {
            av_packet_free(&p);
        }
    }
    AVPacket* p = mine.front();
    mine.pop_front();
    demux.unlock();
    m_queueSpace.notify_all();
    return p;
}

void MediaFileSource::SetMaxQueuedPackets(size_t n) {
    {
        std::lock_guard<std::mutex> demux(m_demuxLock);
        m_maxQueued = n > 0 ? n : 1;
    }
    m_queueSpace.notify_all();
}

size_t MediaFileSource::PeakQueuedPackets() {
    std::lock_guard<std::mutex> demux(m_demuxLock);
    return m_peakQueued;
}

REFERENCE_TIME MediaFileSource::ToSegmentTime(int streamIndex, int64_t ts) const {
    AVRational tb = m_format->streams[streamIndex]->time_base;
    return av_rescale_q(ts, tb, kTimeBase100ns) - av_rescale_q(m_startTime, AV_TIME_BASE_Q, kTimeBase100ns) -
           m_segmentStart;
}

void MediaFileSource::NoteDelivered(REFERENCE_TIME segmentTime) {
    REFERENCE_TIME t = m_segmentStart + segmentTime;
    REFERENCE_TIME seen = m_position.load();
    while (t > seen && !m_position.compare_exchange_weak(seen, t)) {
    }
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

REFERENCE_TIME MediaFileSource::EstimateLatest() {
    // A growing file gains time at the rate it gains bytes; what was read proves the least.
    REFERENCE_TIME latest = m_durationAtOpen;
    int64_t size = FileSize();
    if (m_sizeAtOpen > 0 && size > m_sizeAtOpen && m_durationAtOpen > 0)
        latest = static_cast<REFERENCE_TIME>(static_cast<double>(m_durationAtOpen) *
                                             static_cast<double>(size) / static_cast<double>(m_sizeAtOpen));
    return latest > m_position.load() ? latest : m_position.load();
}

HRESULT MediaFileSource::GetDuration(LONGLONG* duration) {
    if (!duration) return E_POINTER;
    if (m_fd < 0) return E_FAIL;
    *duration = EstimateLatest();
    return *duration > 0 ? S_OK : E_FAIL;
}

HRESULT MediaFileSource::GetStopPosition(LONGLONG* stop) {
    return GetDuration(stop);
}

HRESULT MediaFileSource::GetCurrentPosition(LONGLONG* current) {
    if (!current) return E_POINTER;
    *current = m_position.load();
    return S_OK;
}

HRESULT MediaFileSource::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG*, DWORD) {
    DWORD how = currentFlags & AM_SEEKING_PositioningBitsMask;
    if (how == AM_SEEKING_NoPositioning) return S_OK;
    if (!current) return E_POINTER;
    if (!m_format) return E_UNEXPECTED;
    REFERENCE_TIME target = how == AM_SEEKING_RelativePositioning ? m_position.load() + *current : *current;
    if (target < 0) target = 0;
    // Nothing from before the seek may come out after it: flush downstream and hold every
    // streaming thread between samples (a reader at the end of the file is woken) first.
    for (auto& pin : m_pins) pin->RequestHold(true);
    Interrupt(true);
    for (auto& pin : m_pins) pin->AwaitHeld();
    int result;
    {
        std::unique_lock<std::mutex> demux(m_demuxLock);
        m_queueSpace.wait(demux, [this] { return !m_reading; });
        // The start is the first byte: a timestamp search can land just past the first key
        // frame when the picture's times begin after the sound's.
        if (target == 0) {
            result = av_seek_frame(m_format, -1, 0, AVSEEK_FLAG_BYTE);
        } else {
            int64_t ts = av_rescale_q(target, kTimeBase100ns, AV_TIME_BASE_Q) + m_startTime;
            result = avformat_seek_file(m_format, -1, INT64_MIN, ts, ts, 0);
            if (result < 0) result = av_seek_frame(m_format, -1, ts, AVSEEK_FLAG_BACKWARD);
        }
        if (result >= 0) {
            for (auto& q : m_queues) {
                for (AVPacket* p : q) av_packet_free(&p);
                q.clear();
            }
            m_endOfFile = false;
            if (m_format->pb) m_format->pb->eof_reached = 0;
            // A stream that had ended plays again from here.
            for (auto& pin : m_pins) m_draining[static_cast<size_t>(pin->StreamIndex())] = pin->IsConnected();
            m_segmentStart = target;
            m_position = target;
        }
    }
    Interrupt(false);
    // A failed seek leaves the position where it was, but what was flushed is gone: the
    // stream goes on from the reader's place in a segment that starts where it did.
    REFERENCE_TIME segment = result >= 0 ? target : m_segmentStart;
    for (auto& pin : m_pins) pin->ReleaseHold(segment, 0x7FFFFFFFFFFFFFFF, 1.0);
    return result >= 0 ? S_OK : E_FAIL;
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
