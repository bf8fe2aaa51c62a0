// The system's tuning spaces and their container. The container lists them in one table
// (TuningSpaces.cpp) under the unique names "ATSC", "DVB-T", "Cable", "Antenna" and "AuxIn1".
#pragma once

#include <string>
#include <vector>

#include "platform/bda/BdaInterfaces.h"

// What every tuning space holds. I is the most derived tuning-space interface.
template <class I>
class TuningSpaceBase : public ComObject<I> {
public:
    TuningSpaceBase(std::wstring uniqueName, std::wstring friendlyName)
        : m_uniqueName(std::move(uniqueName)), m_friendlyName(std::move(friendlyName)) {}

    HRESULT get_UniqueName(BSTR* name) override { return copyText(m_uniqueName, name); }
    HRESULT get_FriendlyName(BSTR* name) override { return copyText(m_friendlyName, name); }
    HRESULT get__NetworkType(GUID* type) override {
        if (!type) return E_POINTER;
        *type = m_networkType;
        return S_OK;
    }
    HRESULT put__NetworkType(REFGUID type) override {
        m_networkType = type;
        return S_OK;
    }
    HRESULT get_DefaultLocator(ILocator** locator) override { return m_defaultLocator.CopyTo(locator); }
    HRESULT put_DefaultLocator(ILocator* locator) override {
        m_defaultLocator = locator;
        return S_OK;
    }

protected:
    static HRESULT copyText(const std::wstring& text, BSTR* out) {
        if (!out) return E_POINTER;
        *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return *out ? S_OK : E_OUTOFMEMORY;
    }

    std::wstring m_uniqueName, m_friendlyName;
    GUID m_networkType = GUID_NULL;
    ComPtr<ILocator> m_defaultLocator;
};

class DVBTTuningSpace : public TuningSpaceBase<IDVBTuningSpace2> {
public:
    DVBTTuningSpace() : TuningSpaceBase(L"DVB-T", L"Local DVB-T Digital Antenna") {}
    HRESULT CreateTuneRequest(ITuneRequest** request) override;
    HRESULT get_SystemType(LONG* type) override;
    HRESULT get_NetworkID(LONG* id) override;
    HRESULT put_NetworkID(LONG id) override;

private:
    LONG m_networkId = -1;
};

class ATSCTuningSpace : public TuningSpaceBase<IATSCTuningSpace> {
public:
    static constexpr LONG kMinPhysical = 2, kMaxPhysical = 69;
    ATSCTuningSpace() : TuningSpaceBase(L"ATSC", L"ATSC Digital Antenna") {}
    HRESULT CreateTuneRequest(ITuneRequest** request) override;
    HRESULT get_MinPhysicalChannel(LONG* channel) override;
    HRESULT get_MaxPhysicalChannel(LONG* channel) override;
};

class AnalogTVTuningSpace : public TuningSpaceBase<IAnalogTVTuningSpace> {
public:
    static constexpr LONG kMinChannel = 1, kMaxChannel = 300;
    AnalogTVTuningSpace(std::wstring uniqueName, std::wstring friendlyName, TunerInputType input)
        : TuningSpaceBase(std::move(uniqueName), std::move(friendlyName)), m_input(input) {}
    HRESULT CreateTuneRequest(ITuneRequest** request) override;
    HRESULT get_MinChannel(LONG* channel) override;
    HRESULT get_MaxChannel(LONG* channel) override;
    HRESULT get_InputType(TunerInputType* type) override;
    HRESULT put_InputType(TunerInputType type) override;
    HRESULT get_CountryCode(LONG* code) override;
    HRESULT put_CountryCode(LONG code) override;

private:
    TunerInputType m_input;
    LONG m_countryCode = 1;
};

// The channel of its tune requests is the auxiliary input: 0 or 1.
class AuxInTuningSpace : public TuningSpaceBase<IAuxInTuningSpace> {
public:
    static constexpr LONG kMinInput = 0, kMaxInput = 1;
    AuxInTuningSpace() : TuningSpaceBase(L"AuxIn1", L"Auxiliary Input") {}
    HRESULT CreateTuneRequest(ITuneRequest** request) override;
};

class EnumTuningSpaces : public ComObject<IEnumTuningSpaces> {
public:
    explicit EnumTuningSpaces(std::vector<ComPtr<ITuningSpace>> spaces, size_t position = 0)
        : m_spaces(std::move(spaces)), m_position(position) {}
    HRESULT Next(ULONG celt, ITuningSpace** out, ULONG* fetched) override;
    HRESULT Skip(ULONG celt) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumTuningSpaces** out) override;

private:
    std::vector<ComPtr<ITuningSpace>> m_spaces;
    size_t m_position;
};

// The object behind CLSID_SystemTuningSpaces: every system tuning space, made fresh for each
// container.
class SystemTuningSpaces : public ComObject<ITuningSpaceContainer> {
public:
    SystemTuningSpaces();
    HRESULT get_Count(LONG* count) override;
    HRESULT get_EnumTuningSpaces(IEnumTuningSpaces** out) override;

private:
    std::vector<ComPtr<ITuningSpace>> m_spaces;
};
