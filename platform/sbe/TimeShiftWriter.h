// Writes one programme into the time-shift buffer: segment files that each start at a key
// frame, their key-frame index and the manifest (see BufferManifest.h). Segments that fall out
// of the window (or past the size limit) are deleted, so disk use stays flat. A write error
// (a full disk) stops the writing for good with one log line; what is on disk stays readable:
// a torn packet or index record is cut off and the manifest keeps its last good state.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/sbe/BufferManifest.h"
#include "platform/sbe/BufferSettings.h"

class TimeShiftWriter {
public:
    // headers() gives the PAT and PMT packets that start each segment.
    TimeShiftWriter(std::string path, BufferSettings settings, std::function<std::vector<uint8_t>()> headers);
    ~TimeShiftWriter();
    TimeShiftWriter(const TimeShiftWriter&) = delete;
    TimeShiftWriter& operator=(const TimeShiftWriter&) = delete;

    // Writes the empty manifest; false (with the reason) when the folder is not writable.
    bool start(std::string& error);
    // One packet of the programme. randomAccess/pts as found by the ProgramSelector.
    void write(const uint8_t* packet, bool randomAccess, int64_t pts);
    // Writes what is pending and marks the buffer ended (readers stop at its end).
    void finish();
    // Deletes every file of the buffer.
    void removeFiles();

    bool failed() const { return m_failed; }
    int64_t latest() const { return m_manifest.latest; }
    uint64_t bytesOnDisk() const;
    const BufferManifest& manifest() const { return m_manifest; }

private:
    struct Open {
        int ts = -1;
        int idx = -1;
        int64_t durableBytes = 0;  // confirmed on disk
        int64_t durableIndex = 0;
    };
    void startSegment(int64_t position);
    void closeSegment();
    bool flush();
    void appendIndex(int64_t position, int64_t offset);
    void dropOldSegments();
    void saveManifest();
    void fail(const std::string& what, int err);

    std::string m_path;
    BufferSettings m_settings;
    std::function<std::vector<uint8_t>()> m_headers;
    BufferManifest m_manifest;
    std::vector<int64_t> m_segmentBytes;  // beside m_manifest.segments
    Open m_open;
    std::vector<uint8_t> m_pending;
    uint32_t m_nextNumber = 1;
    int64_t m_nextFirstByte = 0;
    bool m_started = false;
    bool m_failed = false;
    bool m_finished = false;
};
