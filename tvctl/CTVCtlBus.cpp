// The TV control's services on the message bus and the channel scan's reports, which go out as
// bus requests to every listener.
#include "base/Log.h"
#include "base/VUtil.h"
#include "tvctl/CTVCtl.h"

HRESULT CTVCtl::DeclareServices() {
    AddService(L"StartTVScan", L"", new HuxSatelliteDelegateMember<CTVCtl>(this, &CTVCtl::HuxStartTVScan));
    AddService(L"StopTVScan", L"", new HuxSatelliteDelegateMember<CTVCtl>(this, &CTVCtl::HuxStopTVScan));
    AddService(L"SetTunerInputSource", L"",
               new HuxSatelliteDelegateMember<CTVCtl>(this, &CTVCtl::HuxTuneTVChannel));
    return S_OK;
}

HRESULT CTVCtl::HuxStartTVScan(const std::wstring&, VARIANT&, VARIANT*) {
    info(L"HuxStartTVScan");
    std::lock_guard<std::mutex> guard(m_tuneLock);
    if (!m_tuneRequest) {
        warn(L"HuxStartTVScan pTuneRequest not created ");
        return E_FAIL;
    }
    // A running scan already reports here; its thread reads the handler.
    if (!m_channelScan.scanning()) m_channelScan.setResultsHandler(m_deviceName, this);
    ComPtr<IMSVidGraphSegmentContainer> container;
    ComPtr<IGraphBuilder> graph;
    HRESULT hr = m_TVControl ? m_TVControl.As(&container) : E_FAIL;
    if (SUCCEEDED(hr)) hr = container->get_Graph(&graph);
    if (SUCCEEDED(hr) && !graph) hr = E_FAIL;
    if (FAILED(hr)) {
        warn(L"get_Graph error %X", hr);
        return hr;
    }
    if (m_owner) m_owner->suspendDelivery();
    return m_channelScan.startScanChannels(m_mediaType, graph.Get(), m_tuneRequest.get());
}

HRESULT CTVCtl::HuxStopTVScan(const std::wstring&, VARIANT&, VARIANT*) {
    info(L"HuxStopTVScan");
    m_channelScan.stopScanChannels();
    return 0;
}

HRESULT CTVCtl::HuxTuneTVChannel(const std::wstring&, VARIANT& args, VARIANT*) {
    info(L"HuxTuneTVChannel");
    std::wstring unused = VUtil::GetStringElement(args, 0);
    LONG inputKind = VUtil::GetLongElement(args, 1);
    LONG channel = VUtil::GetLongElement(args, 2);
    (void)unused;
    std::lock_guard<std::mutex> guard(m_tuneLock);
    if (!m_tuneRequest) {
        warn(L"setTVChannel pTuneRequest not created ");
        return E_FAIL;
    }
    if (inputKind == 0 || inputKind == 1) {
        // A set-top box feeds that auxiliary input.
        m_tuneRequest->setTuningSpace(kTuneAuxInput);
        m_tuneRequest->setTuningChannel(inputKind);
    } else if (inputKind == 2) {
        // A set-top box feeds the aerial input, on that channel.
        m_tuneRequest->setTuningSpace(kTuneFixedChannel);
        m_tuneRequest->setTuningChannel(channel);
        m_tuneRequest->setTunerInput(0);
    }
    m_tuneRequest->init(m_mediaType);
    CComVariant request;
    HRESULT hr = m_tuneRequest->tune(L"4", request);
    if (FAILED(hr)) return hr;
    return 0;
}

int32_t CTVCtl::TVScanCallback(int32_t current, int32_t total, std::wstring name, std::wstring path,
                               int32_t signal) {
    CComVariant args;
    VUtil::CreateArray(args, VT_VARIANT, 5);
    VUtil::PutElement(args, 0, LONG(current));
    VUtil::PutElement(args, 1, LONG(total));
    VUtil::PutElement(args, 2, name);
    VUtil::PutElement(args, 3, path);
    VUtil::PutElement(args, 4, LONG(signal));
    CComVariant reply, status;
    HRESULT hr = Request(L"all", L"TVScanCallback", args, &reply, HUX_NO_REPLY, &status);
    if (hr != 0) error(L"TVScanCallback hux request: %x", hr);
    return hr;
}

int32_t CTVCtl::TVScanResult(std::wstring deviceName, std::vector<ScanItem> items) {
    CComVariant list;
    VUtil::CreateArray(list, VT_VARIANT, static_cast<LONG>(items.size()));
    for (size_t i = 0; i < items.size(); ++i) {
        CComVariant item;
        VUtil::CreateArray(item, VT_VARIANT, 4);
        VUtil::PutElement(item, 0, items[i].name);
        VUtil::PutElement(item, 1, items[i].path);
        VUtil::PutElement(item, 2, LONG(items[i].signal));
        VUtil::PutElement(item, 3, items[i].frequency);
        VUtil::PutElement(list, static_cast<LONG>(i), static_cast<const VARIANT&>(item));
    }
    CComVariant args;
    VUtil::CreateArray(args, VT_VARIANT, 2);
    VUtil::PutElement(args, 0, deviceName);
    VUtil::PutElement(args, 1, static_cast<const VARIANT&>(list));
    CComVariant reply, status;
    HRESULT hr = Request(L"all", L"TVScanResult", args, &reply, HUX_NO_REPLY, &status);
    if (hr != 0) error(L"TVScanResult hux request: %X", hr);
    if (m_owner) m_owner->resumeDelivery();
    return hr;
}
