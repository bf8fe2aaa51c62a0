// The Video Control's device objects: the tuner input devices (BDA and analog), the encoder
// feature, and the collections the control hands out. Each device binds its filter through
// its device moniker when it is first needed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/devenum/DevEnum.h"
#include "platform/vidctl/VidCtlInterfaces.h"

// Index of a collection item: VT_I4 or VT_I2.
HRESULT CollectionIndex(const VARIANT& index, size_t size, size_t* position);

template <class Collection, class Item>
class VidDeviceCollection : public ComObject<Collection> {
public:
    HRESULT get_Count(LONG* count) override {
        if (!count) return E_POINTER;
        *count = static_cast<LONG>(m_items.size());
        return S_OK;
    }
    HRESULT get_Item(VARIANT index, Item** item) override {
        if (!item) return E_POINTER;
        *item = nullptr;
        size_t at = 0;
        HRESULT hr = CollectionIndex(index, m_items.size(), &at);
        if (FAILED(hr)) return hr;
        return m_items[at].CopyTo(item);
    }
    HRESULT Add(Item* item) override {
        if (!item) return E_POINTER;
        m_items.emplace_back(item);
        return S_OK;
    }
    HRESULT Remove(VARIANT index) override {
        size_t at = 0;
        HRESULT hr = CollectionIndex(index, m_items.size(), &at);
        if (FAILED(hr)) return hr;
        m_items.erase(m_items.begin() + static_cast<std::ptrdiff_t>(at));
        return S_OK;
    }
    const std::vector<ComPtr<Item>>& items() const { return m_items; }

private:
    std::vector<ComPtr<Item>> m_items;
};

using VidInputDevices = VidDeviceCollection<IMSVidInputDevices, IMSVidInputDevice>;
using VidOutputDevices = VidDeviceCollection<IMSVidOutputDevices, IMSVidOutputDevice>;
// Also the object behind CLSID_MSVidFeatures: an empty feature collection.
using VidFeatures = VidDeviceCollection<IMSVidFeatures, IMSVidFeature>;

// A capture device as the device enumerator lists it.
struct VidDeviceInfo {
    std::wstring friendlyName;
    std::wstring devicePath;
    ComPtr<IMoniker> moniker;
};
// The devices of one category, in the enumerator's order; empty when it has none.
HRESULT ListDevices(REFGUID category, std::vector<VidDeviceInfo>* devices);

// A tuner as the control's input: BDA network tuners (KSCATEGORY_BDA_NETWORK_TUNER) and analog
// TV tuners (KSCATEGORY_TVTUNER, which also answer IMSVidAnalogTuner).
class VidTunerDevice : public ComObject<IMSVidAnalogTuner, IMSVidGraphSegment> {
public:
    VidTunerDevice(VidDeviceInfo info, bool analog) : m_info(std::move(info)), m_analog(analog) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override;

    HRESULT get_Name(BSTR* name) override;
    HRESULT get__ClassID(GUID* clsid) override;
    HRESULT View(VARIANT* v) override;
    HRESULT IsViewable(VARIANT* v, VARIANT_BOOL* viewable) override;
    HRESULT get_Tune(ITuneRequest** request) override;
    HRESULT put_Tune(ITuneRequest* request) override;
    HRESULT get_Channel(LONG* channel) override;
    HRESULT put_Channel(LONG channel) override;
    HRESULT ChannelAvailable(LONG channel, LONG* strength, VARIANT_BOOL* present) override;
    HRESULT get_Filter(IBaseFilter** filter) override;

private:
    HRESULT tuner(ITuner** out);
    static HRESULT requestOf(VARIANT* v, ITuneRequest** request);

    VidDeviceInfo m_info;
    bool m_analog;
    ComPtr<IBaseFilter> m_filter;
};

// A hardware encoder (or a card's multiplexer) as a feature of the control.
class VidEncoderFeature : public ComObject<IMSVidEncoder, IMSVidGraphSegment> {
public:
    explicit VidEncoderFeature(VidDeviceInfo info) : m_info(std::move(info)) {}

    HRESULT get_Name(BSTR* name) override;
    HRESULT get__ClassID(GUID* clsid) override;
    HRESULT get_Filter(IBaseFilter** filter) override;

private:
    VidDeviceInfo m_info;
    ComPtr<IBaseFilter> m_filter;
};
