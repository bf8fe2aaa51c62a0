// The stream-buffer source: reads a time-shift buffer back (growing while it is written)
// with libavformat through the TimeShiftReader, one output pin per elementary stream the graph
// can carry (MPEG-2 and H.264 video, MPEG audio, AC-3; others get none) carrying compressed
// access units with start and end times and sync points. Positions are 100-ns units from the
// buffer's first picture; after SetPositions(t) samples are stamped from t
// (a new segment starting near 0), so a downstream time base of t gives the position.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/graph/BaseFilter.h"
#include "platform/sbe/BufferSettings.h"
#include "platform/sbe/SbeInterfaces.h"

struct AVFormatContext;
struct AVIOContext;
struct AVPacket;
class TimeShiftReader;

class StreamBufferSource : public CBaseFilter,
                           public IFileSourceFilter,
                           public IStreamBufferMediaSeeking,
                           public IStreamBufferInitialize,
                           public IStreamBufferSource {
public:
    StreamBufferSource();
    ~StreamBufferSource() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return CBaseFilter::QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return CBaseFilter::AddRef(); }
    ULONG Release() override { return CBaseFilter::Release(); }

    int GetPinCount() override;
    CBasePin* GetPin(int n) override;
    HRESULT Pause() override;

    // IFileSourceFilter: opens the buffer (once) and makes the pins. The type is ignored.
    HRESULT Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* mt) override;
    HRESULT GetCurFile(OLECHAR** fileName, AM_MEDIA_TYPE* mt) override;
    // IStreamBufferInitialize / IStreamBufferSource
    HRESULT SetHKEY(HKEY key) override;
    HRESULT SetStreamSink(IStreamBufferSink* sink) override;

    // IMediaSeeking
    HRESULT GetCapabilities(DWORD* caps) override;
    HRESULT CheckCapabilities(DWORD* caps) override;
    HRESULT GetDuration(LONGLONG* duration) override;
    HRESULT GetStopPosition(LONGLONG* stop) override;
    HRESULT GetCurrentPosition(LONGLONG* current) override;
    HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;
    HRESULT GetPositions(LONGLONG* current, LONGLONG* stop) override;
    HRESULT GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;

    // Streaming side (the pins' threads). Null at the end of the buffer or on a stop.
    AVPacket* NextPacket(int streamIndex);
    // Stamp of a packet: its buffer position minus the segment's start.
    bool StampOf(int streamIndex, const AVPacket* packet, REFERENCE_TIME& start, REFERENCE_TIME& end);
    REFERENCE_TIME SegmentStart();
    void Interrupt();
    bool Interrupted();
    // Test hook: runs on the reading thread each time it waits at the live edge.
    void SetLiveEdgeHook(std::function<void()> hook);
    // Bound of what one stream may queue while another is read (default kMaxQueuedPackets),
    // and the most any stream has had queued (diagnostics).
    static constexpr size_t kMaxQueuedPackets = 200;
    void SetMaxQueuedPackets(size_t n);
    size_t PeakQueuedPackets();
    // Whether a stream's pin is taking packets: one that has ended holds no other back.
    void SetDraining(int streamIndex, bool draining);
    // Test hook: runs on a reading thread each time it waits for another stream to take packets.
    void SetQueueFullHook(std::function<void()> hook);

protected:
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

private:
    class Pin;
    HRESULT seekLocked(REFERENCE_TIME target);
    bool makeDefaultPins();
    bool wanted(int streamIndex);
    bool otherQueueFull(int streamIndex);

    std::mutex m_demuxLock;
    std::unique_ptr<TimeShiftReader> m_reader;
    AVFormatContext* m_format = nullptr;  // null in a buffer loaded with nothing received
    bool m_nothingReceived = false;       // set by Load, before any pin runs
    AVIOContext* m_io = nullptr;
    std::wstring m_fileName;
    std::vector<std::unique_ptr<Pin>> m_pins;
    std::vector<std::deque<AVPacket*>> m_queues;  // by stream index
    std::vector<bool> m_needKey;                  // video streams wait for a key frame after a seek
    bool m_endOfBuffer = false;
    int64_t m_originPts = 0;
    REFERENCE_TIME m_segmentStart = 0;
    REFERENCE_TIME m_position = 0;
    bool m_positioned = false;  // SetPositions while stopped: the next run starts there
    BufferSettings m_settings;
    // Signalled (under m_demuxLock) when a queue shrinks or a stop is asked for.
    std::condition_variable_any m_queueSpace;
    std::vector<bool> m_draining;  // by stream index
    size_t m_maxQueued = kMaxQueuedPackets;
    size_t m_peakQueued = 0;
    std::function<void()> m_queueFullHook;
};
