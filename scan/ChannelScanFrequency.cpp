// The digital scan of one locked frequency.
#include "scan/ChannelScan.h"
#include "scan/FrequencyTableScan.h"

HRESULT ChannelScan::scanFrequency(int32_t networkNumber, int32_t frequency, const std::wstring& medium,
                                   IUnknown* sectionSource, IUnknown* guideDataSource,
                                   TuneRequest* tuneRequest, std::vector<std::wstring>& list) {
    // A medium the scan loop has just found locked is not tuned again: a retune would only make
    // the tuner lock once more, and the tables wait for it. Otherwise the tune's status is not
    // used: a frequency that does not lock again yields no tables.
    const bool locked = !m_lockedMedium.empty() && m_lockedMedium == medium;
    m_lockedMedium.clear();
    std::function<void()> retune;
    if (!locked) retune = [&] { setTVChannel(medium, tuneRequest); };
    return ScanTunedFrequency(m_mediaType, networkNumber, frequency, sectionSource, guideDataSource, retune,
                              list);
}
