#include "platform/bda/TuningSpaces.h"

#include "platform/bda/TuneRequests.h"

namespace {
template <class T, class... Args>
HRESULT makeRequest(ITuneRequest** request, Args&&... args) {
    if (!request) return E_POINTER;
    *request = CreateComObject<T>(std::forward<Args>(args)...);
    return S_OK;
}
HRESULT get(LONG value, LONG* out) {
    if (!out) return E_POINTER;
    *out = value;
    return S_OK;
}

// The system tuning spaces, in the order the container lists them.
template <class T, class... Args>
ComPtr<ITuningSpace> space(Args&&... args) {
    ComPtr<ITuningSpace> s;
    s.Attach(CreateComObject<T>(std::forward<Args>(args)...));
    return s;
}
std::vector<ComPtr<ITuningSpace>> systemTuningSpaces() {
    return {
        space<ATSCTuningSpace>(),
        space<DVBTTuningSpace>(),
        space<AnalogTVTuningSpace>(L"Cable", L"Analog TV (cable)", TunerInputCable),
        space<AnalogTVTuningSpace>(L"Antenna", L"Analog TV (antenna)", TunerInputAntenna),
        space<AuxInTuningSpace>(),
    };
}
}  // namespace

HRESULT DVBTTuningSpace::CreateTuneRequest(ITuneRequest** request) {
    return makeRequest<DVBTuneRequest>(request, this);
}
HRESULT DVBTTuningSpace::get_SystemType(LONG* type) {
    return get(1, type);  // terrestrial
}
HRESULT DVBTTuningSpace::get_NetworkID(LONG* id) {
    return get(m_networkId, id);
}
HRESULT DVBTTuningSpace::put_NetworkID(LONG id) {
    m_networkId = id;
    return S_OK;
}

HRESULT ATSCTuningSpace::CreateTuneRequest(ITuneRequest** request) {
    return makeRequest<ATSCChannelTuneRequest>(request, this);
}
HRESULT ATSCTuningSpace::get_MinPhysicalChannel(LONG* channel) {
    return get(kMinPhysical, channel);
}
HRESULT ATSCTuningSpace::get_MaxPhysicalChannel(LONG* channel) {
    return get(kMaxPhysical, channel);
}

HRESULT AnalogTVTuningSpace::CreateTuneRequest(ITuneRequest** request) {
    return makeRequest<ChannelTuneRequest>(request, this, kMinChannel, kMaxChannel);
}
HRESULT AnalogTVTuningSpace::get_MinChannel(LONG* channel) {
    return get(kMinChannel, channel);
}
HRESULT AnalogTVTuningSpace::get_MaxChannel(LONG* channel) {
    return get(kMaxChannel, channel);
}
HRESULT AnalogTVTuningSpace::get_InputType(TunerInputType* type) {
    if (!type) return E_POINTER;
    *type = m_input;
    return S_OK;
}
HRESULT AnalogTVTuningSpace::put_InputType(TunerInputType type) {
    if (type != TunerInputCable && type != TunerInputAntenna) return E_INVALIDARG;
    m_input = type;
    return S_OK;
}
HRESULT AnalogTVTuningSpace::get_CountryCode(LONG* code) {
    return get(m_countryCode, code);
}
HRESULT AnalogTVTuningSpace::put_CountryCode(LONG code) {
    // Country codes are telephone codes: 1 to 999.
    if (code < 1 || code > 999) return E_INVALIDARG;
    m_countryCode = code;
    return S_OK;
}

HRESULT AuxInTuningSpace::CreateTuneRequest(ITuneRequest** request) {
    return makeRequest<ChannelTuneRequest>(request, this, kMinInput, kMaxInput);
}

HRESULT EnumTuningSpaces::Next(ULONG celt, ITuningSpace** out, ULONG* fetched) {
    if (!out) return E_POINTER;
    if (celt > 1 && !fetched) return E_POINTER;
    ULONG n = 0;
    while (n < celt && m_position < m_spaces.size()) m_spaces[m_position++].CopyTo(&out[n++]);
    if (fetched) *fetched = n;
    return n == celt ? S_OK : S_FALSE;
}
HRESULT EnumTuningSpaces::Skip(ULONG celt) {
    size_t left = m_spaces.size() - m_position;
    m_position += celt > left ? left : celt;
    return celt > left ? S_FALSE : S_OK;
}
HRESULT EnumTuningSpaces::Reset() {
    m_position = 0;
    return S_OK;
}
HRESULT EnumTuningSpaces::Clone(IEnumTuningSpaces** out) {
    if (!out) return E_POINTER;
    *out = CreateComObject<EnumTuningSpaces>(m_spaces, m_position);
    return S_OK;
}

SystemTuningSpaces::SystemTuningSpaces() : m_spaces(systemTuningSpaces()) {}

HRESULT SystemTuningSpaces::get_Count(LONG* count) {
    return get(static_cast<LONG>(m_spaces.size()), count);
}
HRESULT SystemTuningSpaces::get_EnumTuningSpaces(IEnumTuningSpaces** out) {
    if (!out) return E_POINTER;
    *out = CreateComObject<EnumTuningSpaces>(m_spaces);
    return S_OK;
}

HRESULT VarBstrCmp(BSTR left, BSTR right, ULONG, ULONG) {
    std::wstring a = left ? std::wstring(left, SysStringLen(left)) : std::wstring();
    std::wstring b = right ? std::wstring(right, SysStringLen(right)) : std::wstring();
    int c = a.compare(b);
    return c < 0 ? VARCMP_LT : c > 0 ? VARCMP_GT : VARCMP_EQ;
}
