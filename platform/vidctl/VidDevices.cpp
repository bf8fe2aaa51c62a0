#include "platform/vidctl/VidDevices.h"

#include "platform/bda/AirTunerFilter.h"
#include "platform/com/ClassRegistry.h"

namespace {
HRESULT copyText(const std::wstring& text, BSTR* out) {
    if (!out) return E_POINTER;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT bind(const VidDeviceInfo& info, ComPtr<IBaseFilter>& filter) {
    if (filter) return S_OK;
    if (!info.moniker) return E_UNEXPECTED;
    return info.moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter));
}

std::wstring readProperty(IPropertyBag* bag, const wchar_t* name) {
    CComVariant v;
    if (FAILED(bag->Read(name, &v, nullptr)) || v.vt != VT_BSTR || !v.bstrVal) return std::wstring();
    return std::wstring(v.bstrVal, SysStringLen(v.bstrVal));
}
}  // namespace

HRESULT CollectionIndex(const VARIANT& index, size_t size, size_t* position) {
    LONG i;
    if (index.vt == VT_I4)
        i = index.lVal;
    else if (index.vt == VT_I2)
        i = index.iVal;
    else
        return DISP_E_TYPEMISMATCH;
    if (i < 0 || static_cast<size_t>(i) >= size) return DISP_E_BADINDEX;
    *position = static_cast<size_t>(i);
    return S_OK;
}

HRESULT ListDevices(REFGUID category, std::vector<VidDeviceInfo>* devices) {
    devices->clear();
    ComPtr<ICreateDevEnum> devEnum;
    HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                  reinterpret_cast<void**>(&devEnum));
    if (FAILED(hr)) return hr;
    ComPtr<IEnumMoniker> monikers;
    hr = devEnum->CreateClassEnumerator(category, &monikers, 0);
    if (hr != S_OK) return FAILED(hr) ? hr : S_OK;
    ComPtr<IMoniker> moniker;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
        ComPtr<IPropertyBag> bag;
        if (FAILED(
                moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag))))
            continue;
        devices->push_back(
            {readProperty(bag.Get(), L"FriendlyName"), readProperty(bag.Get(), L"DevicePath"), moniker});
    }
    return S_OK;
}

HRESULT VidTunerDevice::QueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IMSVidAnalogTuner && !m_analog) {
        if (ppv) *ppv = nullptr;
        return ppv ? E_NOINTERFACE : E_POINTER;
    }
    return ComObject::QueryInterface(riid, ppv);
}

HRESULT VidTunerDevice::get_Name(BSTR* name) {
    return copyText(m_info.friendlyName, name);
}

HRESULT VidTunerDevice::get__ClassID(GUID* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = m_analog ? CLSID_MSVidAnalogTunerDevice : CLSID_MSVidBDATunerDevice;
    return S_OK;
}

HRESULT VidTunerDevice::get_Filter(IBaseFilter** filter) {
    if (!filter) return E_POINTER;
    HRESULT hr = bind(m_info, m_filter);
    if (FAILED(hr)) {
        *filter = nullptr;
        return hr;
    }
    return m_filter.CopyTo(filter);
}

HRESULT VidTunerDevice::tuner(ITuner** out) {
    HRESULT hr = bind(m_info, m_filter);
    if (FAILED(hr)) return hr;
    return m_filter->QueryInterface(IID_ITuner, reinterpret_cast<void**>(out));
}

HRESULT VidTunerDevice::requestOf(VARIANT* v, ITuneRequest** request) {
    if (!v) return E_POINTER;
    if (v->vt != VT_UNKNOWN || !v->punkVal) return E_INVALIDARG;
    HRESULT hr = v->punkVal->QueryInterface(IID_ITuneRequest, reinterpret_cast<void**>(request));
    return FAILED(hr) ? E_INVALIDARG : S_OK;
}

HRESULT VidTunerDevice::View(VARIANT* v) {
    ComPtr<ITuneRequest> request;
    HRESULT hr = requestOf(v, &request);
    if (FAILED(hr)) return hr;
    return put_Tune(request.Get());
}

HRESULT VidTunerDevice::IsViewable(VARIANT* v, VARIANT_BOOL* viewable) {
    if (!viewable) return E_POINTER;
    *viewable = VARIANT_FALSE;
    ComPtr<ITuneRequest> request;
    ComPtr<ITuner> t;
    if (FAILED(requestOf(v, &request)) || FAILED(tuner(&t))) return S_OK;
    *viewable = SUCCEEDED(t->Validate(request.Get())) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT VidTunerDevice::get_Tune(ITuneRequest** request) {
    if (!request) return E_POINTER;
    *request = nullptr;
    ComPtr<ITuner> t;
    HRESULT hr = tuner(&t);
    return FAILED(hr) ? hr : t->get_TuneRequest(request);
}

HRESULT VidTunerDevice::put_Tune(ITuneRequest* request) {
    if (!request) return E_POINTER;
    ComPtr<ITuner> t;
    HRESULT hr = tuner(&t);
    return FAILED(hr) ? hr : t->put_TuneRequest(request);
}

HRESULT VidTunerDevice::get_Channel(LONG* channel) {
    if (!channel) return E_POINTER;
    *channel = -1;
    ComPtr<ITuneRequest> request;
    HRESULT hr = get_Tune(&request);
    if (FAILED(hr)) return hr;
    ComPtr<IChannelTuneRequest> c;
    hr = request.As(&c);
    return FAILED(hr) ? hr : c->get_Channel(channel);
}

HRESULT VidTunerDevice::put_Channel(LONG channel) {
    ComPtr<ITuneRequest> request, copy;
    HRESULT hr = get_Tune(&request);
    if (FAILED(hr)) return hr;
    hr = request->Clone(&copy);
    if (FAILED(hr)) return hr;
    ComPtr<IChannelTuneRequest> c;
    hr = copy.As(&c);
    if (SUCCEEDED(hr)) hr = c->put_Channel(channel);
    return FAILED(hr) ? hr : put_Tune(copy.Get());
}

HRESULT VidTunerDevice::ChannelAvailable(LONG channel, LONG* strength, VARIANT_BOOL* present) {
    if (!strength || !present) return E_POINTER;
    *strength = 0;
    *present = VARIANT_FALSE;
    LONG current = -1;
    HRESULT hr = get_Channel(&current);
    if (FAILED(hr)) return hr;
    ComPtr<IAirDeviceFilter> device;
    ComPtr<IBDA_SignalStatistics> statistics;
    hr = m_filter->QueryInterface(IID_IAirDeviceFilter, reinterpret_cast<void**>(&device));
    // A real card's analog tuner answers for its signal itself.
    if (FAILED(hr))
        hr = m_filter->QueryInterface(IID_IBDA_SignalStatistics, reinterpret_cast<void**>(&statistics));
    if (FAILED(hr)) return hr;
    // Only the channel the tuner is on can be judged without retuning.
    if (current != channel) return S_OK;
    if (statistics) {
        BOOLEAN on = 0;
        statistics->get_SignalStrength(strength);
        statistics->get_SignalPresent(&on);
        *present = on ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    if (!device->airTuner()) return S_OK;
    AirSignal s = device->airTuner()->signal();
    *strength = s.strength;
    *present = s.present ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT VidEncoderFeature::get_Name(BSTR* name) {
    return copyText(m_info.friendlyName, name);
}

HRESULT VidEncoderFeature::get__ClassID(GUID* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = CLSID_MSVidEncoder;
    return S_OK;
}

HRESULT VidEncoderFeature::get_Filter(IBaseFilter** filter) {
    if (!filter) return E_POINTER;
    HRESULT hr = bind(m_info, m_filter);
    if (FAILED(hr)) {
        *filter = nullptr;
        return hr;
    }
    return m_filter.CopyTo(filter);
}
