#include "scan/FrequencyTableScan.h"

#include "base/Log.h"

HRESULT ScanTunedFrequency(const std::wstring& mediaType, int32_t networkNumber, int32_t frequency,
                           IUnknown* sectionSource, IUnknown* guideDataSource,
                           const std::function<void()>& retune, std::vector<std::wstring>& list,
                           const Mpeg2DataParser::Hooks* hooks) {
    const bool atsc = mediaType == L"tv.channel.atsc";
    const bool dvbt = mediaType == L"tv.channel.dvbt";
    Mpeg2DataParser parser(atsc   ? Mpeg2DataParser::SCAN_ATSC
                           : dvbt ? Mpeg2DataParser::SCAN_DVBT
                                  : Mpeg2DataParser::SCAN_OTHER);
    if (hooks) parser.setHooks(*hooks);
    parser.reset_scan();
    parser.set_sources(sectionSource, guideDataSource);
    parser.setNetworkNumber(networkNumber);

    info(L"before the startMpeg2DataScan");
    // Without a guide-data source (a recording) there is nothing to subscribe to; the scan
    // thread is then started below alone, as after a failed subscription.
    if (guideDataSource) parser.advise_guide_events();
    info(L"after the startMpeg2DataScan");
    // Tuned again, so that the service information appears anew to the subscription.
    if (retune) retune();

    parser.startMpeg2DataScan();
    const DWORD result = parser.wait_scan_done();
    if (result == Mpeg2DataParser::WAIT_OBJECT_0) {
        if (atsc)
            parser.getATSCListofChannels(frequency, list);
        else if (dvbt)
            parser.getDVBTListofChannels(frequency, list);
    } else if (result == Mpeg2DataParser::WAIT_TIMEOUT) {
        info(L"# scan timed out\n");
    } else {
        info(L"# scan failed\n");
    }
    return S_OK;
}
