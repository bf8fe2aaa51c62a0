// What the Video Control does with the tuned signal: the card's hardware encoder for analog
// sources, and the stream-buffer sink that writes the time-shift buffer.
#include "base/Log.h"
#include "platform/com/ClassRegistry.h"
#include "tvctl/CTVCtl.h"

namespace {

const wchar_t* const kSoftwareEncoder = L"Microsoft MPEG-2 Encoder";
// Shared with the read-back side, which opens the same buffer with the same settings.
const wchar_t* const kStreamBufferKey = L"Software\\Kelvarin\\Pelmo\\Skyvane\\StreamBuffer";

template <class Device>
bool classOf(Device* device, GUID& clsid) {
    return device && SUCCEEDED(device->get__ClassID(&clsid));
}

HRESULT newFeatureCollection(ComPtr<IMSVidFeatures>& features) {
    return CoCreateInstance(CLSID_MSVidFeatures, nullptr, CLSCTX_INPROC_SERVER, IID_IMSVidFeatures,
                            reinterpret_cast<void**>(&features));
}

}  // namespace

HRESULT CTVCtl::AddEncoder(bool matchDevice) {
    if (!m_TVControl) return E_FAIL;
    ComPtr<IMSVidFeatures> available;
    HRESULT hr = m_TVControl->get_FeaturesAvailable(&available);
    if (FAILED(hr)) {
        error(L"CTVCtl::AddEncoder get_FeaturesAvailable Failed %X ", hr);
        return hr;
    }
    LONG count = 0;
    hr = available->get_Count(&count);
    if (FAILED(hr)) {
        error(L"CTVCtl::AddEncoder get_Count Failed %X ", hr);
        return hr;
    }
    int32_t wanted = -1;
    if (matchDevice) {
        hr = GetEncoderPosition(m_deviceIndex, wanted);
        if (FAILED(hr)) {
            error(L"CTVCtl::AddEncoder GetEncoderPosition Failed %X ", hr);
            return hr;
        }
    }

    int32_t counter = -1;
    ComPtr<IMSVidFeatures> working;
    bool built = false;
    std::wstring name;
    for (LONG i = 0; i < count && !built; ++i) {
        ComPtr<IMSVidFeature> feature;
        GUID clsid;
        if (FAILED(available->get_Item(CComVariant(i), &feature)) || !classOf(feature.Get(), clsid)) continue;
        if (clsid != CLSID_MSVidEncoder) continue;
        hr = newFeatureCollection(working);
        if (FAILED(hr)) return hr;
        ++counter;
        if (matchDevice && counter != wanted) {
            info(L"Addencoder indexes don't match breaking cur and ctl idxs are %d %d", counter, wanted);
            continue;
        }
        CComBSTR bstr;
        feature->get_Name(&bstr);
        name = bstr.str();
        if (name == kSoftwareEncoder) {
            info(L"skip encoder %s", name.c_str());
            continue;
        }
        info(L"adding a video encoder %s", name.c_str());
        if (FAILED(working->Add(feature.Get()))) continue;
        // Building with the encoder and taking it apart again is the test that it fits the
        // tuner: an encoder of another card cannot be connected.
        try {
            hr = m_TVControl->put_FeaturesActive(working.Get());
            if (SUCCEEDED(hr)) {
                hr = m_TVControl->Build();
                if (FAILED(hr)) {
                    hr = m_TVControl->Build();
                    info(L"Build  returned %X", hr);
                }
            }
            built = SUCCEEDED(hr);
        } catch (...) {
            error(L"exception in Build %X", hr);
            built = false;
        }
        if (!built) {
            ComPtr<IMSVidFeatures> empty;
            HRESULT reset = newFeatureCollection(empty);
            if (SUCCEEDED(reset)) reset = m_TVControl->put_FeaturesActive(empty.Get());
            info(L"reset of activefeatures returned %X", reset);
        }
    }
    if (!built) {
        error(L"adding MSVidEncoder failed ");
        return E_FAIL;
    }
    info(L"added an  MSVidEncoder  %s", name.c_str());
    hr = m_TVControl->Decompose();
    if (FAILED(hr)) error(L" m_TVControl->Decompose() error %X", hr);
    return m_TVControl->put_FeaturesActive(working.Get());
}

HRESULT CTVCtl::removeEncoder() {
    if (!m_TVControl) return 0;
    if (isDebugEnabled()) debug(L"Remove any Encoder");
    ComPtr<IMSVidFeatures> active;
    HRESULT hr = m_TVControl->get_FeaturesActive(&active);
    if (FAILED(hr)) return hr;
    LONG count = 0;
    hr = active->get_Count(&count);
    if (FAILED(hr)) return hr;
    if (isDebugEnabled()) debug(L"Found %d active features", count);
    for (LONG i = 0; i < count; ++i) {
        ComPtr<IMSVidFeature> feature;
        GUID clsid;
        if (FAILED(active->get_Item(CComVariant(i), &feature)) || !classOf(feature.Get(), clsid)) continue;
        if (clsid != CLSID_MSVidEncoder) continue;
        hr = active->Remove(CComVariant(i));
        break;
    }
    if (FAILED(hr)) {
        error(L"Removing MSVidEncoder failed %X", hr);
        return hr;
    }
    return m_TVControl->put_FeaturesActive(active.Get());
}

HRESULT CTVCtl::activateOutput() {
    if (!m_TVControl) return E_FAIL;
    if (isDebugEnabled()) debug(L"activateOutput with %s", m_bufferName.c_str());
    ComPtr<IMSVidOutputDevices> available, active;
    HRESULT hr = m_TVControl->_OutputsAvailable(&GUID_NULL, &available);
    if (SUCCEEDED(hr)) hr = m_TVControl->get_OutputsActive(&active);
    LONG count = 0;
    if (SUCCEEDED(hr)) hr = available->get_Count(&count);
    if (FAILED(hr)) return hr;

    ComPtr<IMSVidOutputDevice> output;
    for (LONG i = 0; i < count && !output; ++i) {
        ComPtr<IMSVidOutputDevice> item;
        GUID clsid;
        if (FAILED(available->get_Item(CComVariant(i), &item)) || !classOf(item.Get(), clsid)) continue;
        if (clsid == CLSID_MSVidStreamBufferSink) output = item;
    }
    ComPtr<IMSVidStreamBufferSink> sink;
    if (!output || FAILED(output.As(&sink))) {
        error(L"adding MSVidStreamBufferSink failed ");
        return E_FAIL;
    }
    hr = active->Add(output.Get());
    if (FAILED(hr)) {
        error(L"adding MSVidStreamBufferSink failed %X", hr);
        return hr;
    }
    m_sink = sink;
    CComBSTR name(m_bufferName.c_str());
    HRESULT result = m_sink->put_SinkName(name.m_str);
    ComPtr<IUnknown> sbeSink;
    if (SUCCEEDED(result)) result = m_sink->get_SBESink(&sbeSink);

    HKEY key = nullptr;
    if (SUCCEEDED(result) && RegOpenKeyW(HKEY_CURRENT_USER, kStreamBufferKey, &key) != 0 &&
        RegCreateKeyW(HKEY_CURRENT_USER, kStreamBufferKey, &key) != 0) {
        error(L" can't open IStreamBufferInitialize reg key %X", E_FAIL);
        key = nullptr;
        result = E_FAIL;
    } else if (SUCCEEDED(result)) {
        // The configuration object's failures are logged and do not stop the start; the sink's
        // own SetHKEY decides.
        ComPtr<IStreamBufferConfigure> config;
        hr = CoCreateInstance(CLSID_StreamBufferConfig, nullptr, CLSCTX_ALL, IID_IStreamBufferConfigure,
                              reinterpret_cast<void**>(&config));
        if (FAILED(hr)) {
            warn(L"CoCreateInstance CLSID_StreamBufferConfig failed %X", hr);
        } else {
            ComPtr<IStreamBufferInitialize> init;
            hr = config.As(&init);
            if (FAILED(hr)) {
                if (isDebugEnabled()) debug(L"QueryInterface IStreamBufferConfigure  returned %X", hr);
            } else {
                hr = init->SetHKEY(key);
                if (isDebugEnabled()) debug(L"SetHKEY  returned %X", hr);
            }
        }
        bool configureSink = true;
        if (FAILED(hr)) {
            warn(L"IStreamBufferInitialize SetHKEY(hkey) returned %X", hr);
        } else {
            ComPtr<IStreamBufferConfigure3> config3;
            hr = config.As(&config3);
            if (FAILED(hr)) {
                info(L"QueryInterface IStreamBufferConfigure3 returned %X", hr);
            } else {
                hr = config3->SetNamespace(nullptr);
                if (isDebugEnabled()) debug(L"IStreamBufferConfigure3 SetNamespace  returned %X", hr);
                if (FAILED(hr)) {
                    warn(L"IStreamBufferConfigure3 SetNamespace  returned %X", hr);
                    warn(L"QueryInterface IStreamBufferInitialize  returned %X", hr);
                    configureSink = false;
                    result = hr;
                }
            }
        }
        if (configureSink) {
            ComPtr<IStreamBufferInitialize> sinkInit;
            result =
                sbeSink->QueryInterface(IID_IStreamBufferInitialize, reinterpret_cast<void**>(&sinkInit));
            if (FAILED(result)) {
                warn(L"QueryInterface IStreamBufferInitialize  returned %X", result);
            } else {
                result = sinkInit->SetHKEY(key);
                info(L" IStreamBufferInitialize SetHKEY  returned %X", result);
            }
        }
        RegCloseKey(key);
        info(L" IStreamBufferInitialize SetHKEY  returned %X", result);
    }
    if (FAILED(result)) {
        error(L"adding MSVidStreamBufferSink failed %X", result);
        return result;
    }
    return m_TVControl->put_OutputsActive(active.Get());
}

HRESULT CTVCtl::deActivateOutput() {
    if (!m_TVControl) return 0;
    if (isDebugEnabled()) debug(L"deActivateOutput");
    ComPtr<IMSVidOutputDevices> active;
    HRESULT hr = m_TVControl->get_OutputsActive(&active);
    if (FAILED(hr)) return hr;
    LONG count = 0;
    hr = active->get_Count(&count);
    if (FAILED(hr)) return hr;
    if (isDebugEnabled()) debug(L"Found %d active features", count);
    for (LONG i = 0; i < count; ++i) {
        ComPtr<IMSVidOutputDevice> output;
        GUID clsid;
        if (FAILED(active->get_Item(CComVariant(i), &output)) || !classOf(output.Get(), clsid)) continue;
        if (clsid != CLSID_MSVidStreamBufferSink) continue;
        hr = active->Remove(CComVariant(i));
        if (FAILED(hr)) {
            error(L"removing MSVidStreamBufferSink failed %X", hr);
            return hr;
        }
        return m_TVControl->put_OutputsActive(active.Get());
    }
    if (isDebugEnabled()) debug(L"MSVidStreamBufferSink not present ");
    return 0;
}
