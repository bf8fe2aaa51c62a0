// Reads the time-shift buffer as one stream of bytes across its segment files, for the
// source's libavformat I/O callbacks. At the live edge a read waits for the writer (and
// returns at once when a stop is asked); a reader that falls out of the window continues at
// the oldest data still there. A buffer that is deleted, damaged or ended ends the stream.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/sbe/BufferManifest.h"

class TimeShiftReader {
public:
    enum : int { kStopped = -1, kEnd = 0 };

    explicit TimeShiftReader(std::string path);
    ~TimeShiftReader();
    TimeShiftReader(const TimeShiftReader&) = delete;
    TimeShiftReader& operator=(const TimeShiftReader&) = delete;

    // Reads the manifest; false with the reason when it is missing or malformed.
    bool open(std::string& error);
    // Fresh manifest (the last good one when it cannot be read now); false once it is gone.
    bool manifest(BufferManifest& out);

    // Up to size bytes (> 0), kEnd at the end of the buffer, kStopped after requestStop().
    int read(uint8_t* buffer, int size);
    void seek(int64_t offset);
    int64_t position() const { return m_position; }
    // The key frame at or before position (the first one kept when position is older).
    bool findKeyFrame(int64_t position, IndexEntry& found);

    void requestStop();
    void clearStop();
    // Blocks until a stop is asked (at once when one is pending).
    void awaitStop();
    bool stopRequested();
    // Why the stream ended ("" while it has not).
    const std::string& endReason() const { return m_endReason; }
    // While probing, a read gives up (as an end) after about 10 s at the live edge.
    bool probing() const { return m_probing; }
    void setProbing(bool probing) { m_probing = probing; }
    // Test hook: called each time a read waits at the live edge.
    void setWaitHook(std::function<void()> hook) { m_waitHook = std::move(hook); }
    // Test hook: called before each read from an open segment, just after the reader checked
    // that the window still holds it.
    void setSegmentCheckHook(std::function<void()> hook) { m_droppedHook = std::move(hook); }

private:
    bool openSegment(const BufferManifest& m);
    void closeSegment();
    int end(const std::string& reason);
    bool waitForData();
    bool segmentDropped();
    int stopOrGiveUp();

    std::string m_path;
    BufferManifest m_last;
    int64_t m_position = 0;
    int m_fd = -1;
    uint32_t m_segment = 0;
    int64_t m_segmentFirstByte = 0;
    std::mutex m_stopLock;
    std::condition_variable m_stopWake;
    bool m_stop = false;
    std::string m_endReason;
    std::function<void()> m_waitHook;
    std::function<void()> m_droppedHook;
    bool m_probing = true;
    int m_probeWaits = 0;
};
