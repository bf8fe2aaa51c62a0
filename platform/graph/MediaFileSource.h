// Source filter over a media file (MPEG transport or program stream) read with libavformat:
// one output pin for the main video stream and one for the main audio stream, each pushing
// compressed frames on its own streaming thread.
//
// The file may still be growing (a buffer another process writes): at its end the reader
// waits for more data and goes on, until nobody has written the file for the live-edge
// timeout or it is deleted; a stop or a seek ends that wait at once. Sample times count from 0 at the start
// of the file, and after SetPositions(t) from 0 at t (a new segment, announced downstream
// after a flush). A stream that runs ahead of the other waits for it rather than queueing
// without bound.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/graph/BaseFilter.h"

struct AVFormatContext;
struct AVIOContext;
struct AVPacket;
class MediaFileSourcePin;

class MediaFileSource : public CBaseFilter, public IFileSourceFilter, public IMediaSeeking {
public:
    // Packets one stream may have queued while the other is being read.
    static constexpr size_t kMaxQueuedPackets = 200;
    static constexpr DWORD kDefaultLiveEdgeTimeoutMs = 1000;

    MediaFileSource();
    ~MediaFileSource() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return CBaseFilter::QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return CBaseFilter::AddRef(); }
    ULONG Release() override { return CBaseFilter::Release(); }

    int GetPinCount() override;
    CBasePin* GetPin(int n) override;
    HRESULT Stop() override;

    // IFileSourceFilter: opens the file (once) and makes the pins. The type is ignored.
    HRESULT Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* mt) override;
    HRESULT GetCurFile(OLECHAR** fileName, AM_MEDIA_TYPE* mt) override;

    // IMediaSeeking
    HRESULT GetCapabilities(DWORD* caps) override;
    HRESULT CheckCapabilities(DWORD* caps) override;
    HRESULT GetDuration(LONGLONG* duration) override;
    HRESULT GetStopPosition(LONGLONG* stop) override;
    HRESULT GetCurrentPosition(LONGLONG* current) override;
    HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;
    HRESULT GetPositions(LONGLONG* current, LONGLONG* stop) override;
    // Earliest 0; latest the newest position in the file, growing as the file grows.
    HRESULT GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;

    // How long after the file's last write the reader still waits at its end for more
    // (INFINITE: for ever, 0: a plain file that ends at its end).
    void SetLiveEdgeTimeout(DWORD ms) { m_liveEdgeTimeoutMs = ms; }
    // Bound of what one stream may queue while another is read (default kMaxQueuedPackets),
    // and the most any stream has had queued (diagnostics).
    void SetMaxQueuedPackets(size_t n);
    size_t PeakQueuedPackets();

    // Streaming side, called by the pins' threads: the next packet of one stream, read from
    // the file as needed. Null at the end of the file, on a read error, or when interrupted.
    AVPacket* NextPacket(int streamIndex);
    // 100-ns time of a packet timestamp of a stream, from the start of the current segment.
    REFERENCE_TIME ToSegmentTime(int streamIndex, int64_t ts) const;
    void NoteDelivered(REFERENCE_TIME segmentTime);
    // A pin stopped taking packets (or starts again): its queue no longer holds up the other.
    void SetDraining(int streamIndex, bool draining);

protected:
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

private:
    static int ReadPacket(void* opaque, uint8_t* buf, int size);
    static int64_t Seek(void* opaque, int64_t offset, int whence);
    int Read(uint8_t* buf, int size);
    bool StreamWanted(int streamIndex);
    bool OtherQueueFull(int streamIndex);
    void Interrupt(bool on);
    int64_t FileSize();
    REFERENCE_TIME EstimateLatest();

    // Guards the queues and the reading flag; the demultiplexer itself belongs to the thread
    // that set m_reading (or to a seek, which waits until nobody reads).
    std::mutex m_demuxLock;
    std::condition_variable m_queueSpace;
    bool m_reading = false;
    AVFormatContext* m_format = nullptr;
    AVIOContext* m_io = nullptr;
    int m_fd = -1;
    std::wstring m_fileName;
    std::vector<std::unique_ptr<MediaFileSourcePin>> m_pins;
    std::vector<std::deque<AVPacket*>> m_queues;  // by stream index
    std::vector<bool> m_draining;                 // by stream index
    bool m_endOfFile = false;
    size_t m_maxQueued = kMaxQueuedPackets;
    size_t m_peakQueued = 0;
    int64_t m_startTime = 0;  // AV_TIME_BASE units
    REFERENCE_TIME m_segmentStart = 0;
    std::atomic<REFERENCE_TIME> m_position{0};
    REFERENCE_TIME m_durationAtOpen = 0;
    int64_t m_sizeAtOpen = 0;

    // The live-edge wait, apart from the demultiplexer lock so a stop can end it.
    std::atomic<DWORD> m_liveEdgeTimeoutMs{kDefaultLiveEdgeTimeoutMs};
    std::mutex m_edgeLock;
    std::condition_variable m_edgeWake;
    std::atomic<bool> m_interrupt{false};
    bool m_probing = false;
};

HRESULT CreateMediaFileSource(REFIID riid, void** ppv);
