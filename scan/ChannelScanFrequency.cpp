// The digital scan of one locked frequency.
#include "scan/ChannelScan.h"
#include "scan/FrequencyTableScan.h"

HRESULT ChannelScan::scanFrequency(int32_t networkNumber, int32_t frequency, const std::wstring& medium,
                                   IUnknown* sectionSource, IUnknown* guideDataSource,
                                   TuneRequest* tuneRequest, std::vector<std::wstring>& list) {
    // The tune's status is not used: a frequency that does not lock again yields no tables.
    return ScanTunedFrequency(
        m_mediaType, networkNumber, frequency, sectionSource, guideDataSource,
        [&] { setTVChannel(medium, tuneRequest); }, list);
}
