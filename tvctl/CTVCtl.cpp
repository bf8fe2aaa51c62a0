#include "tvctl/CTVCtl.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "base/Format.h"
#include "base/Log.h"
#include "base/Text.h"
#include "platform/com/ClassRegistry.h"
#include "platform/devenum/DevEnum.h"
#include "platform/fs/Fs.h"
#include "tuning/BDATuneRequest.h"
#include "tuning/MediaType.h"
#include "tuning/MediumString.h"

namespace {

// Milliseconds since the system started, wrapping at 32 bits as the platform's tick count does.
uint32_t tickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000);
}

// A tick for a name that must be unique in the process: two objects made within the same
// millisecond would otherwise share one time-shift buffer.
uint32_t uniqueTick() {
    static std::atomic<uint32_t> last{0};
    uint32_t now = tickCount();
    uint32_t seen = last.load();
    for (;;) {
        uint32_t next = now > seen ? now : seen + 1;
        if (last.compare_exchange_weak(seen, next)) return next;
    }
}

bool folderExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::wstring CTVCtl::makeBufferName() {
    std::wstring folder = L"c:\\SBErec";
    std::string appData;
    if (GetAppDataFolder(appData)) {
        std::string kelvarin = JoinPath(appData, "Kelvarin");
        ::mkdir(kelvarin.c_str(), 0755);
        std::string buffers = JoinPath(kelvarin, "PelmoTVBuffer");
        ::mkdir(buffers.c_str(), 0755);
        if (folderExists(buffers)) folder = NarrowToWide(JoinPath(buffers, "SBErec"));
    }
    std::wstring tick = FormatWideString(L"%d.asf", static_cast<int32_t>(uniqueTick()));
    return (folder + tick).substr(0, 128);
}

CTVCtl::CTVCtl(std::wstring mediaType, std::wstring deviceName, FormatChangeHandler* owner)
    : m_mediaType(std::move(mediaType)), m_deviceName(std::move(deviceName)), m_owner(owner) {
    HRESULT hr = CoCreateInstance(CLSID_MSVidCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IMSVidCtl,
                                  reinterpret_cast<void**>(&m_TVControl));
    if (isDebugEnabled()) debug(L"CLSID_MSVidCtl CoCreateInstance return %X", hr);
    if (FAILED(hr)) m_TVControl = nullptr;

    m_bufferName = makeBufferName();
    m_busClientName =
        FormatWideString(L"Skyvane%d%d", static_cast<int32_t>(getpid()), static_cast<int32_t>(uniqueTick()));
    hr = Connect(L"127.0.0.1", m_busClientName);
    if (FAILED(hr)) fatal(L"CTVCtl:: : failed to register to hux 0x%X", hr);
}

bool CTVCtl::hasTuneRequest() {
    std::lock_guard<std::mutex> guard(m_tuneLock);
    return m_tuneRequest != nullptr;
}

HRESULT CTVCtl::StartTimeShift(std::wstring channel, std::wstring& bufferName, HRESULT& tuneResult) {
    info(L"CTVCtl::StartTimeShift channel is %s", channel.c_str());
    if (!m_TVControl) {
        error(L"CoCreateInstance failed ");
        return E_FAIL;
    }
    MSVidCtlStateList state = STATE_UNBUILT;
    HRESULT hr = m_TVControl->get_State(&state);
    if (FAILED(hr)) {
        error(L"m_TVControl->get_State failed %X", hr);
        return hr;
    }
    if (state != STATE_UNBUILT) {
        // A control that is already built is only retuned.
        tuneResult = setTVChannel(channel);
        if (FAILED(tuneResult))
            error(L"SetTVChannel for channel %s failed ret is %X", channel.c_str(), tuneResult);
        bufferName = m_bufferName;
        return 0;
    }

    hr = activateDevice();
    if (FAILED(hr)) {
        error(L"activateDevice failed %X", hr);
        return hr;
    }
    hr = createTuneRequest();
    if (FAILED(hr)) {
        error(L"TunerRequest::init failed %X", hr);
        return hr;
    }
    info(L"calling setTVChannel");
    tuneResult = setTVChannel(channel);
    info(L"setTVChannel returned %X", tuneResult);
    // A tuner refuses tune requests of another kind (a DVB-T tuner beside an ATSC one): the
    // next tuner of the category is tried for it.
    while (tuneResult == E_INVALIDARG) {
        if (!nextTuner()) break;
        info(L"calling setTVChannel");
        tuneResult = setTVChannel(channel);
        info(L"setTVChannel returned %X", tuneResult);
    }
    if (FAILED(tuneResult)) error(L"m_TVControl->View failed %X", tuneResult);

    hr = m_TVControl->DisableAudio();
    if (FAILED(hr)) {
        error(L"DisableAudio failed %X", hr);
        return hr;
    }
    hr = m_TVControl->DisableVideo();
    if (FAILED(hr)) {
        error(L"DisableVideo failed %X", hr);
        return hr;
    }
    hr = m_TVControl->put_Enabled(VARIANT_FALSE);
    if (FAILED(hr)) warn(L"put_Enabled failed %X", hr);

    if (m_mediaType == kMediaTypeAnalog) {
        hr = AddEncoder(true);
        if (hr == E_ACCESSDENIED) {
            info(L"CTVCtl::startTimeShift : tuner is explicitely not supported %X", hr);
            return E_ACCESSDENIED;
        }
        if (FAILED(hr)) {
            error(L"First addEncoder failed %X", hr);
            hr = AddEncoder(false);
            if (FAILED(hr)) {
                error(L"Second addEncoder failed %X", hr);
                return hr;
            }
            info(L"Second addEncoder succeeded %X", hr);
        } else {
            info(L"First addEncoder succeeded %X", hr);
        }
    }

    hr = activateOutput();
    if (FAILED(hr)) {
        error(L"activateOutput failed %X", hr);
        return hr;
    }
    info(L"activateOutput succeeded %X", hr);

    tuneResult = setTVChannel(channel);
    info(L"setTVChannel returned %X", tuneResult);

    hr = runTVControl();
    if (SUCCEEDED(hr)) {
        tuneResult = setTVChannel(channel);
        info(L"graph started successfully %X", hr);
    } else {
        error(L" TVControl->Run() failed %X", hr);
        stopTimeShift();
    }
    bufferName = m_bufferName;
    info(L"startTimeShift returned %X and tuneRet %X", hr, tuneResult);
    return hr;
}

HRESULT CTVCtl::createTuneRequest() {
    // The tune request takes the control's active input when it is made.
    auto request = std::make_unique<BDATuneRequest>(nullptr, nullptr, this, m_TVControl.Get());
    std::lock_guard<std::mutex> guard(m_tuneLock);
    m_tuneRequest = std::move(request);
    return m_tuneRequest->init(m_mediaType);
}

bool CTVCtl::nextTuner() {
    const GUID& category =
        m_mediaType == kMediaTypeAnalog ? KSCATEGORY_TVTUNER : KSCATEGORY_BDA_NETWORK_TUNER;
    ComPtr<IMSVidInputDevices> inputs;
    LONG count = 0;
    if (FAILED(m_TVControl->_InputsAvailable(&category, &inputs)) || FAILED(inputs->get_Count(&count)) ||
        m_deviceIndex + 1 >= count)
        return false;
    CComBSTR name;
    if (m_inputDevice) m_inputDevice->get_Name(&name);
    info(L"CTVCtl: %s does not take %s channels, trying the next tuner", name.str().c_str(),
         m_mediaType.c_str());
    ++m_deviceIndex;
    m_inputDevice = nullptr;
    HRESULT hr = activateDevice();
    if (SUCCEEDED(hr)) hr = createTuneRequest();
    if (FAILED(hr)) {
        error(L"CTVCtl: the next tuner failed %X", hr);
        return false;
    }
    return true;
}

HRESULT CTVCtl::setTVChannel(std::wstring channel) {
    CComVariant request;
    {
        std::lock_guard<std::mutex> guard(m_tuneLock);
        if (!m_tuneRequest) return E_FAIL;
        HRESULT hr = m_tuneRequest->tune(channel, request);
        if (FAILED(hr)) {
            error(L"setTVChannel tune of %s failed %X", channel.c_str(), hr);
            return hr;
        }
    }
    if (!m_inputDevice) return E_FAIL;
    HRESULT hr = m_inputDevice->View(&request);
    if (FAILED(hr)) {
        error(L"m_TVControl->View failed %X", hr);
        return hr;
    }
    selectProgramme(channel);
    return 0;
}

void CTVCtl::selectProgramme(const std::wstring& channel) {
    if (!m_sink) return;
    ProgramChoice choice;
    if (m_mediaType == kMediaTypeDvbt) {
        DvbtChannel c;
        if (SUCCEEDED(MediumString::parseDvbt(channel, c)) && c.sid != -1) choice.programNumber = c.sid;
    } else if (m_mediaType == kMediaTypeAtsc) {
        AtscChannel c;
        if (SUCCEEDED(MediumString::parseAtsc(channel, c)) && c.major != -1 && c.minor != -1) {
            choice.major = c.major;
            choice.minor = c.minor;
        }
    }
    ComPtr<IUnknown> sbeSink;
    HRESULT hr = m_sink->get_SBESink(&sbeSink);
    if (SUCCEEDED(hr)) hr = SelectStreamBufferProgram(sbeSink.Get(), choice);
    // A buffer being written keeps its programme until the control runs again.
    if (FAILED(hr) && isDebugEnabled()) debug(L"the time-shift buffer keeps its programme %X", hr);
}

HRESULT CTVCtl::activateDevice() {
    if (!m_TVControl) return E_FAIL;
    info(L"activateDevice #  %d ", m_deviceIndex);
    if (m_inputDevice) return 0;
    const GUID& category =
        m_mediaType == kMediaTypeAnalog ? KSCATEGORY_TVTUNER : KSCATEGORY_BDA_NETWORK_TUNER;
    ComPtr<IMSVidInputDevices> inputs;
    HRESULT hr = m_TVControl->_InputsAvailable(&category, &inputs);
    if (FAILED(hr)) return hr;
    LONG count = 0;
    hr = inputs->get_Count(&count);
    if (FAILED(hr) || count == 0) {
        warn(L"No input device present hr %X, lCount %X", hr, count);
        return E_FAIL;
    }
    for (LONG i = 0; i < count; ++i) {
        ComPtr<IMSVidInputDevice> device;
        hr = inputs->get_Item(CComVariant(i), &device);
        if (FAILED(hr) || !device) continue;
        CComBSTR name;
        device->get_Name(&name);
        if (i != m_deviceIndex) continue;
        hr = m_TVControl->put_InputActive(device.Get());
        info(L"put_inputActive returned %d for %s", hr, name.str().c_str());
        m_inputDevice = device;
        return hr;
    }
    warn(L"No input device present hr %X, lCount %X", hr, count);
    return E_FAIL;
}

HRESULT CTVCtl::runTVControl() {
    if (!m_TVControl) return E_FAIL;
    MSVidCtlStateList state = STATE_UNBUILT;
    HRESULT hr = m_TVControl->get_State(&state);
    if (FAILED(hr)) {
        error(L"runTVControl m_TVControl->get_State failed %X", hr);
        return hr;
    }
    if (state == STATE_PLAY) return 0;
    hr = m_TVControl->Run();
    if (FAILED(hr)) {
        info(L"trying the run one more time after the %X", hr);
        hr = m_TVControl->Run();
    }
    if (FAILED(hr)) {
        info(L"trying with the filtergraph after the %X", hr);
        hr = m_TVControl->Build();
        if (isDebugEnabled()) debug(L"Build returned %X", hr);
        if (SUCCEEDED(hr)) {
            hr = RunWithFilterGraph();
            if (SUCCEEDED(hr)) hr = 0;
        }
    }
    info(L"runTVControl returned %X", hr);
    return hr;
}

HRESULT CTVCtl::graphControl(bool run) {
    if (!m_TVControl) {
        warn(L"can't get TVControl %X", E_FAIL);
        return E_FAIL;
    }
    ComPtr<IMSVidGraphSegmentContainer> container;
    HRESULT hr = m_TVControl.As(&container);
    ComPtr<IGraphBuilder> graph;
    if (SUCCEEDED(hr)) hr = container->get_Graph(&graph);
    if (SUCCEEDED(hr) && !graph) hr = E_FAIL;
    if (FAILED(hr)) {
        warn(L"get_Graph error %X", hr);
        return hr;
    }
    ComPtr<IMediaControl> control;
    hr = graph.As(&control);
    if (FAILED(hr)) return hr;
    if (run) {
        hr = control->Run();
        if (FAILED(hr)) error(L"RunWithFilterGraph Failed to run the stream graph  %X", hr);
    } else {
        hr = control->Stop();
        if (FAILED(hr))
            error(L"StopWithFilterGraph Failed to stop the stream graph  %X", hr);
        else if (isDebugEnabled())
            debug(L"StopWithFilterGraph success to stop the stream graph  %X", hr);
    }
    return hr;
}

HRESULT CTVCtl::RunWithFilterGraph() {
    return graphControl(true);
}

HRESULT CTVCtl::StopWithFilterGraph() {
    return graphControl(false);
}
