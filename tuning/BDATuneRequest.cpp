#include "tuning/BDATuneRequest.h"

#include <chrono>
#include <thread>

#include "base/Log.h"
#include "platform/com/ClassRegistry.h"
#include "platform/devenum/DevEnum.h"
#include "scan/DeviceDecodeUtils.h"
#include "tuning/MediaType.h"
#include "tuning/MediumString.h"

namespace {

int64_t tickCount() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

const wchar_t* wantedSpace(const std::wstring& mediaType, int32_t tuningSpace, int32_t tuningChannel,
                           int32_t tunerInput) {
    if (mediaType == kMediaTypeAtsc) return L"ATSC";
    if (mediaType == kMediaTypeDvbt) return L"DVB-T";
    if (mediaType == kMediaTypeAnalog && tuningSpace == kTuneAuxInput && tuningChannel < 2) return L"AuxIn1";
    if (mediaType == kMediaTypeAnalog && tunerInput == 1) return L"Antenna";
    return L"Cable";
}

}  // namespace

BDATuneRequest::BDATuneRequest(IBaseFilter* networkProvider, IBaseFilter* tunerFilter,
                               HuxSatellite* busClient, IMSVidCtl* videoControl)
    : TuneRequest(busClient),
      m_networkProvider(networkProvider),
      m_bdaTuner(tunerFilter),
      m_videoControl(videoControl),
      m_tick(&tickCount),
      m_sleep([](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }) {
    if (m_videoControl) m_videoControl->get_InputActive(&m_inputDevice);
}

BDATuneRequest::~BDATuneRequest() = default;

void BDATuneRequest::setSignalTiming(TickCount tick, SleepMs sleep) {
    m_tick = std::move(tick);
    m_sleep = std::move(sleep);
}

HRESULT BDATuneRequest::init(std::wstring type) {
    if (type != mediaType) mediaType = type;
    ComPtr<ITuningSpaceContainer> container;
    HRESULT hr = CoCreateInstance(CLSID_SystemTuningSpaces, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ITuningSpaceContainer, reinterpret_cast<void**>(&container));
    if (FAILED(hr)) {
        error(L"CoCreateInstance CLSID_SystemTuningSpaces failed %X", hr);
        return hr;
    }
    CComBSTR wanted(wantedSpace(mediaType, tuningSpace, tuningChannel, tunerInput));
    ComPtr<IEnumTuningSpaces> spaces;
    hr = container->get_EnumTuningSpaces(&spaces);
    if (FAILED(hr)) {
        error(L"get_EnumTuningSpaces failed %X", hr);
        return hr;
    }
    ComPtr<ITuningSpace> found;
    ComPtr<ITuningSpace> space;
    while (!found && spaces->Next(1, &space, nullptr) == S_OK) {
        CComBSTR unique;
        space->get_UniqueName(&unique);
        if (isDebugEnabled()) debug(L"uniquename is %s", unique.m_str ? unique.m_str : L"");
        if (VarBstrCmp(unique, wanted, 0, 0) == VARCMP_EQ) found = space;
    }
    if (!found) {
        error(L"Desired pTuningSpace not found ");
        return E_FAIL;
    }
    if (mediaType == kMediaTypeAtsc) {
        m_atscTuningSpace = nullptr;
        hr = found.As(&m_atscTuningSpace);
        if (FAILED(hr)) {
            error(L"ITuningSpace::QueryInterface failed %X", hr);
            return hr;
        }
    } else if (mediaType == kMediaTypeDvbt) {
        m_dvbTuningSpace = nullptr;
        hr = found.As(&m_dvbTuningSpace);
        if (FAILED(hr)) {
            error(L"ITuningSpace::QueryInterface failed %X", hr);
            return hr;
        }
    } else if (mediaType == kMediaTypeAnalog) {
        hr = initAnalog(found.Get());
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT BDATuneRequest::initAnalog(ITuningSpace* found) {
    ComPtr<ITuningSpace> space(found);
    if (tuningSpace == kTuneAuxInput) {
        m_auxInTuningSpace = nullptr;
        HRESULT hr = space.As(&m_auxInTuningSpace);
        info(L" QueryInterface is %X", hr);
        if (FAILED(hr)) return hr;
        hr = m_auxInTuningSpace->put__NetworkType(GUID_NULL);
        info(L" put__NetworkType returned  %X", hr);
        return S_OK;
    }
    m_analogTuningSpace = nullptr;
    HRESULT hr = space.As(&m_analogTuningSpace);
    if (FAILED(hr)) {
        info(L"QueryInterface on pAnalogTuningSpace failed  %X", hr);
        return hr;
    }
    hr = m_analogTuningSpace->put_InputType(static_cast<TunerInputType>(tunerInput));
    info(L"put_InputType returned  %X", hr);
    hr = m_analogTuningSpace->put_CountryCode(countryCode);
    info(L"put_CountryCode for %d  returned  %X", countryCode, hr);
    hr = m_analogTuningSpace->put__NetworkType(GUID_NULL);
    info(L" put__NetworkType returned  %X", hr);
    return S_OK;
}

HRESULT BDATuneRequest::tune(std::wstring medium, VARIANT& request) {
    ComPtr<ITuneRequest> built;
    ComPtr<IDVBTLocator> dvbtLocator;
    ComPtr<IATSCLocator> atscLocator;
    HRESULT hr = S_OK;
    if (mediaType == kMediaTypeDvbt)
        hr = tuneDvbt(medium, built, dvbtLocator);
    else if (mediaType == kMediaTypeAtsc)
        hr = tuneAtsc(medium, built, atscLocator);
    else if (mediaType == kMediaTypeAnalog)
        hr = tuneAnalog(medium, built);
    if (FAILED(hr)) return hr;
    hr = submit(built.Get(), request);
    if (SUCCEEDED(hr) && dvbtLocator) m_dvbtLocator = dvbtLocator;
    if (SUCCEEDED(hr) && atscLocator) m_atscLocator = atscLocator;
    return hr;
}

HRESULT BDATuneRequest::tuneDvbt(const std::wstring& medium, ComPtr<ITuneRequest>& built,
                                 ComPtr<IDVBTLocator>& kept) {
    DvbtChannel c;
    HRESULT hr = MediumString::parseDvbt(medium, c);
    if (FAILED(hr)) return hr;
    if (!m_dvbTuningSpace) {
        error(L"IDVBTuningSpace::CreateTuneRequest failed %X", E_UNEXPECTED);
        return E_UNEXPECTED;
    }
    ComPtr<ITuneRequest> request;
    hr = m_dvbTuningSpace->CreateTuneRequest(&request);
    if (FAILED(hr)) {
        error(L"IDVBTuningSpace::CreateTuneRequest failed %X", hr);
        return hr;
    }
    ComPtr<IDVBTuneRequest> dvb;
    hr = request.As(&dvb);
    if (FAILED(hr)) {
        error(L"ITuneRequest::QueryInterface failed %X", hr);
        return hr;
    }
    if (c.hasNetworkIds()) {
        if (FAILED(hr = dvb->put_ONID(c.onid))) {
            error(L"IDVBTuneRequest::put_ONID failed %X", hr);
            return hr;
        }
        if (FAILED(hr = dvb->put_TSID(c.tsid))) {
            error(L"IDVBTuneRequest::put_TSID failed %X", hr);
            return hr;
        }
        if (FAILED(hr = dvb->put_SID(c.sid))) {
            error(L"IDVBTuneRequest::put_SID failed %X", hr);
            return hr;
        }
    }
    ComPtr<IDVBTLocator> locator;
    hr = CoCreateInstance(CLSID_DVBTLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IDVBTLocator,
                          reinterpret_cast<void**>(&locator));
    if (FAILED(hr)) {
        error(L"IDVBTLocator::CoCreateInstance failed %X", hr);
        return hr;
    }
    if (FAILED(hr = locator->put_CarrierFrequency(c.frequency))) {
        error(L"IDVBTLocator::put_CarrierFrequency failed %X", hr);
        return hr;
    }
    if (FAILED(hr = locator->put_Bandwidth(c.bandwidth))) {
        error(L"IDVBTLocator::put_Bandwidth failed %X", hr);
        return hr;
    }
    if (FAILED(hr = dvb->put_Locator(locator.Get()))) {
        error(L"IDVBTuneRequest::put_Locator failed %X", hr);
        return hr;
    }
    if (FAILED(hr = m_dvbTuningSpace->put_DefaultLocator(locator.Get()))) {
        error(L"IDVBTuneRequest::put_DefaultLocator failed %X", hr);
        return hr;
    }
    info(L"BDA Tuning freq %d band %d onid %d sid %d tsid %d", c.frequency, c.bandwidth, c.onid, c.sid,
         c.tsid);
    kept = locator;
    built = request;
    return S_OK;
}

HRESULT BDATuneRequest::tuneAtsc(const std::wstring& medium, ComPtr<ITuneRequest>& built,
                                 ComPtr<IATSCLocator>& kept) {
    AtscChannel c;
    HRESULT hr = MediumString::parseAtsc(medium, c);
    if (FAILED(hr)) return hr;
    if (!m_atscTuningSpace) {
        error(L"IATSCTuningSpace::CreateTuneRequest failed %X", E_UNEXPECTED);
        return E_UNEXPECTED;
    }
    ComPtr<ITuneRequest> request;
    hr = m_atscTuningSpace->CreateTuneRequest(&request);
    if (FAILED(hr)) {
        error(L"IATSCTuningSpace::CreateTuneRequest failed %X", hr);
        return hr;
    }
    ComPtr<IATSCChannelTuneRequest> atsc;
    hr = request.As(&atsc);
    if (FAILED(hr)) {
        error(L"ITuneRequest::QueryInterface failed %X", hr);
        return hr;
    }
    if (FAILED(hr = atsc->put_Channel(c.major))) {
        error(L"IATSCTuneRequest::put_Channel failed %X", hr);
        return hr;
    }
    if (FAILED(hr = atsc->put_MinorChannel(c.minor))) {
        error(L"IATSCTuneRequest::put_MinorChannel failed %X", hr);
        return hr;
    }
    ComPtr<IATSCLocator> locator;
    hr = CoCreateInstance(CLSID_ATSCLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IATSCLocator,
                          reinterpret_cast<void**>(&locator));
    if (FAILED(hr)) {
        error(L"IATSCLocator::CoCreateInstance failed %X", hr);
        return hr;
    }
    if (FAILED(hr = locator->put_PhysicalChannel(c.physical))) {
        error(L"IATSCLocator::put_PhysicalChannel failed %X", hr);
        return hr;
    }
    if (FAILED(hr = atsc->put_Locator(locator.Get()))) {
        error(L"IATSCTuneRequest::put_Locator failed %X", hr);
        return hr;
    }
    if (isDebugEnabled()) debug(L"After calling put_Locator %X", hr);
    info(L"BDA Tuning Phys %d  Major %d Minor %d", c.physical, c.major, c.minor);
    kept = locator;
    built = request;
    return S_OK;
}

HRESULT BDATuneRequest::tuneAnalog(const std::wstring& medium, ComPtr<ITuneRequest>& built) {
    int32_t requested = MediumString::parseAnalog(medium);
    int32_t tunerChannel = requested;
    ComPtr<ITuneRequest> request;
    HRESULT hr;
    if (tuningSpace == kTuneAuxInput) {
        hr = m_auxInTuningSpace ? m_auxInTuningSpace->CreateTuneRequest(&request) : E_UNEXPECTED;
        info(L" CreateTuneRequest is %X", hr);
        if (FAILED(hr)) return hr;
        tunerChannel = tuningChannel;
        // The box starts switching while the card tunes; its answer does not matter.
        requestIRChannel(requested);
    } else {
        hr = m_analogTuningSpace ? m_analogTuningSpace->CreateTuneRequest(&request) : E_UNEXPECTED;
        if (FAILED(hr)) {
            info(L" CreateTuneRequest failed %X", hr);
            return hr;
        }
        if (tuningSpace == kTuneFixedChannel) {
            tunerChannel = tuningChannel;
            requestIRChannel(requested);
        }
    }
    ComPtr<IChannelTuneRequest> channel;
    hr = request.As(&channel);
    if (FAILED(hr)) {
        error(L"ITuneRequest::QueryInterface failed %X", hr);
        return hr;
    }
    if (FAILED(hr = channel->put_Channel(tunerChannel))) {
        error(L"pTuneRequest->put_Channel failed %X", hr);
        return hr;
    }
    LONG readBack = -1;
    if (FAILED(hr = channel->get_Channel(&readBack))) {
        error(L"pTuneRequest->get_Channel failed %X", hr);
        return hr;
    }
    if (readBack != tunerChannel) {
        error(L"set channel failed got %d while setting %d", readBack, tunerChannel);
        return E_FAIL;
    }
    built = request;
    return S_OK;
}

HRESULT BDATuneRequest::submit(ITuneRequest* built, VARIANT& request) {
    VariantClear(&request);
    if (built) {
        request.vt = VT_UNKNOWN;
        request.punkVal = built;
        built->AddRef();
    }
    HRESULT hr = S_OK;
    if (m_networkProvider) {
        ComPtr<ITuner> tuner;
        m_networkProvider->QueryInterface(IID_ITuner, reinterpret_cast<void**>(&tuner));
        if (!tuner) {
            error(L"Failed while interfacing Tuner with Network Provider");
            return E_FAIL;
        }
        hr = tuner->put_TuneRequest(built);
        if (FAILED(hr)) {
            error(L"Failed to submit the Tune Tequest to the Network Provider %X", hr);
            return hr;
        }
    } else if (m_inputDevice) {
        hr = m_inputDevice->View(&request);
        info(L"pInputDevice view returned %X", hr);
    }
    info(L"Tune Tequest to the Network Provider returned %X", hr);
    return hr;
}

HRESULT BDATuneRequest::getMedium(std::wstring& medium) {
    medium = MediumString::unknown();
    if (mediaType != kMediaTypeAtsc && mediaType != kMediaTypeDvbt) return S_OK;
    ComPtr<ITuner> tuner;
    if (m_networkProvider) m_networkProvider->QueryInterface(IID_ITuner, reinterpret_cast<void**>(&tuner));
    if (!tuner) {
        error(L"Failed while interfacing Tuner with Network Provider");
        return E_FAIL;
    }
    HRESULT hr;
    if (mediaType == kMediaTypeAtsc) {
        AtscChannel c;
        if (m_atscLocator) m_atscLocator->get_PhysicalChannel(&c.physical);
        ComPtr<ITuneRequest> current;
        if (FAILED(hr = tuner->get_TuneRequest(&current)) || !current) {
            hr = FAILED(hr) ? hr : E_FAIL;
            error(L"Failed to get the Tune Tequest from the Network Provider %X", hr);
            return hr;
        }
        ComPtr<IATSCChannelTuneRequest> atsc;
        if (SUCCEEDED(current.As(&atsc))) {
            LONG v = -1;
            if (FAILED(hr = atsc->get_Channel(&v)))
                error(L"ATSCTuneRequest::get_Channel failed %X", hr);
            else
                c.major = v;
            v = -1;
            if (FAILED(hr = atsc->get_MinorChannel(&v)))
                error(L"ATSCTuneRequest::get_MinorChannel failed %X", hr);
            else
                c.minor = v;
        }
        medium = MediumString::format(c);
        return S_OK;
    }
    DvbtChannel c;
    if (m_dvbtLocator) {
        LONG v = -1;
        if (FAILED(hr = m_dvbtLocator->get_CarrierFrequency(&v)))
            error(L"IDVBTLocator::get_CarrierFrequency failed %X", hr);
        else
            c.frequency = v;
        v = -1;
        if (FAILED(hr = m_dvbtLocator->get_Bandwidth(&v)))
            error(L"IDVBTLocator::get_Bandwidth failed %X", hr);
        else
            c.bandwidth = v;
    }
    ComPtr<ITuneRequest> current;
    if (FAILED(hr = tuner->get_TuneRequest(&current)) || !current) {
        hr = FAILED(hr) ? hr : E_FAIL;
        error(L"Failed to get the Tune Tequest from the Network Provider %X", hr);
        return hr;
    }
    ComPtr<IDVBTuneRequest> dvb;
    if (SUCCEEDED(current.As(&dvb))) {
        LONG v = -1;
        if (FAILED(hr = dvb->get_ONID(&v)))
            error(L"IDVBTuneRequest::get_ONID failed %X", hr);
        else
            c.onid = v;
        v = -1;
        if (FAILED(hr = dvb->get_TSID(&v)))
            error(L"IDVBTuneRequest::get_TSID failed %X", hr);
        else
            c.tsid = v;
        v = -1;
        if (FAILED(hr = dvb->get_SID(&v)))
            error(L"IDVBTuneRequest::get_SID failed %X", hr);
        else
            c.sid = v;
    }
    medium = MediumString::format(c);
    return S_OK;
}

bool BDATuneRequest::signalPresent(int32_t& strength) {
    if (mediaType == kMediaTypeAnalog) return analogSignalPresent(strength);
    strength = 0;
    int64_t start = m_tick();
    int attempts = 0;
    for (;;) {
        bool locked = false, present = false;
        LONG signal = 0, quality = 0;
        if (FAILED(getSignalStatistics(locked, present, signal, quality))) {
            // A tuner that cannot tell is taken to have a signal.
            if (isDebugEnabled()) debug(L"Can't get signal statistics");
            return true;
        }
        info(L"locked, present, strength, quality %d %d %d %d", int(locked), int(present), int(signal),
             int(quality));
        if (locked && quality > 0) {
            strength = quality;
            return true;
        }
        if (m_tick() - start > kSignalGiveUpMs) return false;
        m_sleep(kSignalPollMs);
        if (++attempts >= kSignalReads) return false;
    }
}

bool BDATuneRequest::analogSignalPresent(int32_t& strength) {
    strength = 0;
    ComPtr<IMSVidAnalogTuner> tuner;
    if (!m_inputDevice || FAILED(m_inputDevice.As(&tuner))) return false;
    LONG channel = -1;
    tuner->get_Channel(&channel);
    info(L"testing channel  %d", channel);
    LONG platformStrength = 0;
    VARIANT_BOOL present = VARIANT_FALSE;
    tuner->ChannelAvailable(channel, &platformStrength, &present);
    info(L"signal present %d", int(present));
    if (!present) return false;
    strength = 100;
    return true;
}

HRESULT BDATuneRequest::findTunerFilter() {
    std::wstring name;
    if (m_inputDevice) {
        ComPtr<IMSVidDevice> device;
        CComBSTR deviceName;
        if (SUCCEEDED(m_inputDevice.As(&device)) && SUCCEEDED(device->get_Name(&deviceName)) &&
            deviceName.m_str) {
            std::wstring friendly, path;
            if (!DeviceDecodeUtils::FindDevice(KSCATEGORY_BDA_NETWORK_TUNER, deviceName.str(), &path,
                                               &friendly)) {
                warn(L"Cannot get tuner name ");
                return E_FAIL;
            }
            name = friendly;
        }
    }
    ComPtr<IMSVidGraphSegmentContainer> container;
    ComPtr<IGraphBuilder> graph;
    HRESULT hr = m_videoControl ? m_videoControl.As(&container) : E_POINTER;
    if (SUCCEEDED(hr)) hr = container->get_Graph(&graph);
    if (FAILED(hr)) {
        error(L"Cannot get pGraph %X", hr);
        return hr;
    }
    hr = DeviceDecodeUtils::FindFilter(graph.Get(), name, &m_bdaTuner);
    if (FAILED(hr) || !m_bdaTuner) {
        hr = FAILED(hr) ? hr : E_FAIL;
        warn(L"Cannot get m_pBDATuner %X", hr);
        return hr;
    }
    return S_OK;
}

HRESULT BDATuneRequest::getSignalStatistics(bool& locked, bool& present, LONG& strength, LONG& quality) {
    if (isDebugEnabled()) debug(L"getSignalStatistics");
    if (!m_bdaTuner) {
        HRESULT hr = findTunerFilter();
        if (FAILED(hr)) return hr;
    }
    ComPtr<IBDA_Topology> topology;
    HRESULT hr = m_bdaTuner.As(&topology);
    if (FAILED(hr)) {
        error(L"Cannot Find IID_IBDA_Topology %X", hr);
        return hr;
    }
    locked = false;
    present = false;
    strength = 0;
    quality = 0;
    ULONG types[32];
    ULONG count = 0;
    hr = topology->GetNodeTypes(&count, 32, types);
    if (FAILED(hr)) {
        error(L"Cannot get node types %X", hr);
        return hr;
    }
    for (ULONG i = 0; i < count && i < 32; ++i) {
        ComPtr<IUnknown> node;
        if (FAILED(topology->GetControlNode(0, 1, types[i], &node)) || !node) continue;
        ComPtr<IBDA_SignalStatistics> stats;
        if (FAILED(node.As(&stats))) continue;
        LONG v = 0;
        BOOLEAN b = 0;
        if (SUCCEEDED(stats->get_SignalStrength(&v))) strength = v;
        if (SUCCEEDED(stats->get_SignalQuality(&v))) quality = v > 100 ? 100 : v;
        if (SUCCEEDED(stats->get_SignalLocked(&b))) locked = b != 0;
        if (SUCCEEDED(stats->get_SignalPresent(&b))) present = b != 0;
    }
    return S_OK;
}
