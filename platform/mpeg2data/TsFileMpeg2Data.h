// A section source over a recorded transport stream held in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/mpeg2data/Mpeg2Data.h"
#include "platform/mpeg2data/TsDemux.h"

// Each table request reads the recording from its start and answers with the table's first
// complete appearance (see SectionTableCollector); a table that never completes is answered
// as a timeout would be. A recording has no clock, so the timeout itself is not waited for.
class TsFileMpeg2Data : public ComObject<IMpeg2Data> {
public:
    explicit TsFileMpeg2Data(std::vector<uint8_t> bytes);

    HRESULT GetTable(PID pid, TID tid, MPEG2_FILTER* filter, DWORD timeoutMs, ISectionList** list) override;

    // Totals over every request so far.
    const TsDemux::Stats& stats() const { return m_stats; }

    // What one pass of the demultiplexer makes of the recording: packets, bytes skipped and
    // the packet size found.
    struct Shape {
        uint64_t packets = 0;
        uint64_t skippedBytes = 0;
        size_t packetSize = 0;
        // No packets, or fewer bytes in packets than around them.
        bool isTransportStream() const { return packets > 0 && skippedBytes <= packets * packetSize; }
    };
    Shape shape() const;

    // Reads a recording once: a regular file, or a pipe ("-" is standard input) up to its end.
    // Anything else (a device, a directory) is refused, since it may never end or never be
    // the same twice. At most limit bytes are taken; *cut says whether more were there.
    // Returns false with the reason in *problem.
    static bool readRecording(const std::string& path, size_t limit, std::vector<uint8_t>* bytes, bool* cut,
                              std::string* problem);

private:
    std::vector<uint8_t> m_bytes;
    TsDemux::Stats m_stats;
};
