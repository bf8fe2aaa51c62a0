// A section source over a recorded transport stream (a file, or bytes in memory).
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
    explicit TsFileMpeg2Data(std::string path);
    explicit TsFileMpeg2Data(std::vector<uint8_t> bytes);

    HRESULT GetTable(PID pid, TID tid, MPEG2_FILTER* filter, DWORD timeoutMs, ISectionList** list) override;

    // Totals over every request so far.
    const TsDemux::Stats& stats() const { return m_stats; }

private:
    std::string m_path;
    std::vector<uint8_t> m_bytes;
    bool m_fromFile;
    TsDemux::Stats m_stats;
};
