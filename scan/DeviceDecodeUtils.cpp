#include "scan/DeviceDecodeUtils.h"

#include <cwctype>

#include "base/Text.h"
#include "base/Log.h"
#include "platform/com/ClassRegistry.h"
#include "platform/devenum/DevEnum.h"

namespace {
bool pinOffers(IPin* pin, REFGUID wanted, bool major) {
    if (!pin) return false;
    ComPtr<IEnumMediaTypes> types;
    if (FAILED(pin->EnumMediaTypes(&types)) || !types) return false;
    AM_MEDIA_TYPE* mt = nullptr;
    while (types->Next(1, &mt, nullptr) == S_OK && mt) {
        bool match = (major ? mt->majortype : mt->subtype) == wanted;
        DeleteMediaType(mt);
        mt = nullptr;
        if (match) return true;
    }
    return false;
}

bool equalNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i])))
            return false;
    return true;
}

std::wstring readBagText(IPropertyBag* bag, const wchar_t* name) {
    CComVariant v;
    if (FAILED(bag->Read(name, &v, nullptr)) || v.vt != VT_BSTR || !v.bstrVal) return std::wstring();
    return std::wstring(v.bstrVal, SysStringLen(v.bstrVal));
}

// Walks the category's devices until one matches; hands out its moniker and texts.
bool findDeviceMoniker(REFGUID category, const std::wstring& name, IMoniker** found, std::wstring* path,
                       std::wstring* friendly, HRESULT* status) {
    *status = S_OK;
    ComPtr<ICreateDevEnum> devEnum;
    HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                  reinterpret_cast<void**>(&devEnum));
    if (FAILED(hr)) {
        *status = hr;
        return false;
    }
    ComPtr<IEnumMoniker> monikers;
    if (devEnum->CreateClassEnumerator(category, &monikers, 0) != S_OK || !monikers) return false;
    monikers->Reset();
    ComPtr<IMoniker> moniker;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
        ComPtr<IPropertyBag> bag;
        if (FAILED(
                moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag))))
            continue;
        std::wstring f = readBagText(bag.Get(), L"FriendlyName");
        std::wstring p = readBagText(bag.Get(), L"DevicePath");
        if (equalNoCase(name, f) || equalNoCase(name, p)) {
            if (found) moniker.CopyTo(found);
            if (path) *path = p;
            if (friendly) *friendly = f;
            return true;
        }
    }
    return false;
}
}  // namespace

HRESULT DeviceDecodeUtils::FindFilter(IFilterGraph* graph, const std::wstring& name, IBaseFilter** filter) {
    if (!graph || !filter) return E_POINTER;
    *filter = nullptr;
    ComPtr<IEnumFilters> filters;
    HRESULT hr = graph->EnumFilters(&filters);
    if (FAILED(hr)) return hr;
    filters->Reset();
    ComPtr<IBaseFilter> f;
    while (filters->Next(1, &f, nullptr) == S_OK) {
        FILTER_INFO info{};
        hr = f->QueryFilterInfo(&info);
        if (FAILED(hr)) {
            error(L"FindFilter(): QueryFilterInfo() failed %X", hr);
            continue;
        }
        if (info.pGraph) info.pGraph->Release();
        if (name == info.achName) {
            *filter = f.Detach();
            return S_OK;
        }
    }
    return E_FAIL;
}

HRESULT DeviceDecodeUtils::FindInterfaceInGraph(IFilterGraph* graph, REFIID riid, void** out) {
    if (!graph || !out) return E_POINTER;
    *out = nullptr;
    ComPtr<IEnumFilters> filters;
    if (FAILED(graph->EnumFilters(&filters)) || !filters) return E_FAIL;
    filters->Reset();
    ComPtr<IBaseFilter> f;
    HRESULT hr = E_FAIL;
    while (filters->Next(1, &f, nullptr) == S_OK) {
        hr = f->QueryInterface(riid, out);
        if (SUCCEEDED(hr)) break;
    }
    return hr;
}

HRESULT DeviceDecodeUtils::GetConnectedFilter(IBaseFilter* filter, PIN_DIRECTION dir,
                                              IBaseFilter** connected) {
    if (!filter || !connected) return E_POINTER;
    *connected = nullptr;
    ComPtr<IEnumPins> pins;
    HRESULT hr = filter->EnumPins(&pins);
    if (FAILED(hr)) return hr;
    ComPtr<IPin> pin;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION d;
        if (FAILED(pin->QueryDirection(&d)) || d != dir) continue;
        ComPtr<IPin> peer;
        if (FAILED(pin->ConnectedTo(&peer)) || !peer) continue;
        PIN_INFO info{};
        if (FAILED(peer->QueryPinInfo(&info)) || !info.pFilter) return E_UNEXPECTED;
        *connected = info.pFilter;
        return S_OK;
    }
    return E_FAIL;
}

HRESULT DeviceDecodeUtils::RemoveAllFilters(IFilterGraph* graph) {
    if (!graph) return E_POINTER;
    ComPtr<IEnumFilters> filters;
    HRESULT hr = graph->EnumFilters(&filters);
    if (FAILED(hr)) return hr;
    ComPtr<IBaseFilter> f;
    while (filters->Next(1, &f, nullptr) == S_OK) {
        // A filter the graph will not give up would bring the same one back for ever.
        if (FAILED(graph->RemoveFilter(f.Get()))) return E_FAIL;
        filters->Reset();
    }
    return S_OK;
}

bool DeviceDecodeUtils::SameObject(IUnknown* a, IUnknown* b) {
    return IsSameObject(a, b);
}

bool DeviceDecodeUtils::PinHasMajorType(IPin* pin, REFGUID major) {
    return pinOffers(pin, major, true);
}

bool DeviceDecodeUtils::PinHasSubType(IPin* pin, REFGUID subtype) {
    return pinOffers(pin, subtype, false);
}

bool DeviceDecodeUtils::FindDevice(REFGUID category, const std::wstring& name, std::wstring* devicePath,
                                   std::wstring* friendlyName) {
    HRESULT status;
    return findDeviceMoniker(category, name, nullptr, devicePath, friendlyName, &status);
}

HRESULT DeviceDecodeUtils::CreateDeviceFilter(REFGUID category, const std::wstring& name,
                                              IBaseFilter** filter) {
    if (!filter) return E_POINTER;
    *filter = nullptr;
    ComPtr<IMoniker> moniker;
    HRESULT status;
    if (!findDeviceMoniker(category, name, &moniker, nullptr, nullptr, &status))
        return FAILED(status) ? status : E_FAIL;
    return moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(filter));
}

HRESULT DeviceDecodeUtils::FindPinByName(IBaseFilter* filter, const std::wstring& name, IPin** pin) {
    if (!filter || !pin) return E_POINTER;
    *pin = nullptr;
    ComPtr<IEnumPins> pins;
    HRESULT hr = filter->EnumPins(&pins);
    if (FAILED(hr)) return hr;
    ComPtr<IPin> p;
    while (pins->Next(1, &p, nullptr) == S_OK) {
        PIN_INFO info{};
        if (FAILED(p->QueryPinInfo(&info))) continue;
        if (info.pFilter) info.pFilter->Release();
        if (name == info.achName) {
            *pin = p.Detach();
            return S_OK;
        }
    }
    return E_FAIL;
}

HRESULT DeviceDecodeUtils::GetPin(IBaseFilter* filter, PIN_DIRECTION dir, int index, IPin** pin) {
    if (!filter || !pin) return E_POINTER;
    *pin = nullptr;
    ComPtr<IEnumPins> pins;
    HRESULT hr = filter->EnumPins(&pins);
    if (FAILED(hr)) return hr;
    ComPtr<IPin> p;
    int seen = 0;
    while (pins->Next(1, &p, nullptr) == S_OK) {
        PIN_DIRECTION d;
        if (FAILED(p->QueryDirection(&d)) || d != dir) continue;
        if (seen++ == index) {
            *pin = p.Detach();
            return S_OK;
        }
    }
    return E_FAIL;
}

HRESULT DeviceDecodeUtils::findCrossBarPin(IBaseFilter* filter, LONG physicalType, IPin** pin) {
    if (!pin) return E_POINTER;
    *pin = nullptr;
    ComPtr<IAMCrossbar> crossbar;
    if (!filter || FAILED(filter->QueryInterface(IID_IAMCrossbar, reinterpret_cast<void**>(&crossbar))))
        return E_POINTER;
    LONG outputs = 0, inputs = 0;
    HRESULT hr = crossbar->get_PinCounts(&outputs, &inputs);
    if (FAILED(hr)) {
        warn(L"findCrossBarPin get_PinCounts error %X ", hr);
        return hr;
    }
    for (LONG i = 0; i < inputs; ++i) {
        LONG related = 0, type = 0;
        if (FAILED(crossbar->get_CrossbarPinInfo(TRUE_, i, &related, &type))) continue;
        if (type == physicalType) return GetPin(filter, PINDIR_INPUT, static_cast<int>(i), pin);
    }
    return E_FAIL;
}

HRESULT DeviceDecodeUtils::FindPinBySpec(IBaseFilter* filter, PIN_DIRECTION dir, const std::wstring& pinSpec,
                                         IPin** pin) {
    if (!filter || !pin) return E_POINTER;
    *pin = nullptr;
    if (dir == PINDIR_INPUT && (pinSpec == L"%tvtuner%" || pinSpec == L"%audiotuner%")) {
        LONG type = pinSpec == L"%tvtuner%" ? PhysConn_Video_Tuner : PhysConn_Audio_Tuner;
        if (SUCCEEDED(findCrossBarPin(filter, type, pin)) && *pin) return S_OK;
    }
    bool digits = true;
    for (wchar_t c : pinSpec) digits = digits && c >= L'0' && c <= L'9';
    if (digits) {
        // Long digit runs would overflow; no filter has that many pins anyway.
        if (pinSpec.size() > 9) return E_FAIL;
        return GetPin(filter, dir, pinSpec.empty() ? 0 : std::stoi(pinSpec), pin);
    }
    return FindPinByName(filter, pinSpec, pin);
}

HRESULT DeviceDecodeUtils::ConnectPins(IGraphBuilder* graph, IBaseFilter* source,
                                       const std::wstring& sourceSpec, IBaseFilter* sink,
                                       const std::wstring& sinkSpec) {
    ComPtr<IPin> out, in;
    HRESULT hr = FindPinBySpec(source, PINDIR_OUTPUT, sourceSpec, &out);
    if (FAILED(hr) || !out) {
        if (SUCCEEDED(hr)) hr = E_FAIL;
        warn(L"could not get source pin %X", hr);
        return hr;
    }
    hr = FindPinBySpec(sink, PINDIR_INPUT, sinkSpec, &in);
    if (FAILED(hr) || !in) {
        if (SUCCEEDED(hr)) hr = E_FAIL;
        warn(L"could not get sink pin %X", hr);
        return hr;
    }
    ComPtr<IPin> peer;
    if (SUCCEEDED(out->ConnectedTo(&peer)) && peer) {
        warn(L"source pin already connected ");
        return S_OK;
    }
    if (!graph) return E_POINTER;
    hr = graph->Connect(out.Get(), in.Get());
    if (FAILED(hr)) warn(L"can't connect pins %X", hr);
    return hr;
}

std::vector<std::wstring> DeviceDecodeUtils::split(const std::wstring& text, const std::wstring& separator) {
    return SplitText(text, separator);
}
