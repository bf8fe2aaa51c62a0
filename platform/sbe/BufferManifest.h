// The time-shift buffer on disk. The file named by the sink is a small text manifest,
// replaced as a whole on every change (a reader never sees half of it):
//
//   skyvane-timeshift 1
//   origin <PTS, 90 kHz, of the first picture>
//   latest <position of the newest key frame, 100 ns>
//   state live | ended
//   segment <number> <first byte, counted from the start of the buffer> <position, 100 ns>
//
// Each segment is a transport stream file of its own ("<buffer>.000042.ts") that starts with
// the programme's PAT and PMT and a key frame, and has an index beside it ("<buffer>.000042.idx")
// of 16-byte records: the position (100 ns) and the buffer offset of each key frame, both
// little-endian 64-bit. Positions count from the buffer's first picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BufferSegment {
    uint32_t number = 0;
    int64_t firstByte = 0;
    int64_t position = 0;
};

struct IndexEntry {
    int64_t position = 0;
    int64_t offset = 0;
};

struct BufferManifest {
    int64_t originPts = -1;
    int64_t latest = 0;
    bool live = true;
    std::vector<BufferSegment> segments;

    static std::string segmentPath(const std::string& buffer, uint32_t number);
    static std::string indexPath(const std::string& buffer, uint32_t number);

    // Writes a temporary file beside it and renames it over the manifest.
    bool write(const std::string& path, std::string& error) const;
    // False with the reason for a missing, unreadable or malformed manifest.
    static bool read(const std::string& path, BufferManifest& out, std::string& error);
    static bool parse(const std::string& text, BufferManifest& out, std::string& error);
    std::string format() const;

    // Reads a segment's index; a torn last record is ignored.
    static std::vector<IndexEntry> readIndex(const std::string& path);
};
