#include "platform/graph/BasePin.h"

#include <cstring>
#include <cwchar>

#include "platform/graph/BaseFilter.h"

CBasePin::CBasePin(CBaseFilter* filter, std::recursive_mutex* lock, const wchar_t* name, PIN_DIRECTION dir)
    : m_filter(filter), m_lock(lock), m_name(name ? name : L""), m_dir(dir) {}

CBasePin::~CBasePin() = default;

ULONG CBasePin::AddRef() {
    return m_filter->AddRef();
}
ULONG CBasePin::Release() {
    return m_filter->Release();
}

namespace {
// A partial type matches a candidate when every field it names is equal.
bool fitsPartialType(const AM_MEDIA_TYPE* wanted, const AM_MEDIA_TYPE& candidate) {
    if (!wanted) return true;
    if (wanted->majortype != GUID_NULL && wanted->majortype != candidate.majortype) return false;
    if (wanted->subtype != GUID_NULL && wanted->subtype != candidate.subtype) return false;
    if (wanted->formattype != GUID_NULL && wanted->formattype != candidate.formattype) return false;
    return true;
}
}  // namespace

HRESULT CBasePin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* mt) {
    if (!receivePin) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(*m_lock);
    if (m_connected) return VFW_E_ALREADY_CONNECTED;
    if (!m_filter->IsStopped()) return VFW_E_NOT_STOPPED;
    HRESULT hr = CheckConnect(receivePin);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    if (mt && !CMediaType(*mt).IsPartiallySpecified()) {
        hr = AttemptConnection(receivePin, CMediaType(*mt));
        return FAILED(hr) ? hr : S_OK;
    }
    // The receiving pin's preferences come first, then this pin's own.
    ComPtr<IEnumMediaTypes> theirs;
    if (SUCCEEDED(receivePin->EnumMediaTypes(&theirs)) && theirs) {
        if (SUCCEEDED(TryMediaTypes(receivePin, mt, theirs.Get()))) return S_OK;
    }
    ComPtr<IEnumMediaTypes> mine;
    if (SUCCEEDED(EnumMediaTypes(&mine)) && mine) {
        if (SUCCEEDED(TryMediaTypes(receivePin, mt, mine.Get()))) return S_OK;
    }
    BreakConnect();
    return VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT CBasePin::TryMediaTypes(IPin* receivePin, const AM_MEDIA_TYPE* mt, IEnumMediaTypes* types) {
    types->Reset();
    for (;;) {
        AM_MEDIA_TYPE* candidate = nullptr;
        ULONG fetched = 0;
        if (types->Next(1, &candidate, &fetched) != S_OK || fetched != 1 || !candidate)
            return VFW_E_NO_ACCEPTABLE_TYPES;
        CMediaType owned(*candidate);
        DeleteMediaType(candidate);
        if (!fitsPartialType(mt, owned)) continue;
        if (SUCCEEDED(AttemptConnection(receivePin, owned))) return S_OK;
    }
}

HRESULT CBasePin::AttemptConnection(IPin* receivePin, const CMediaType& mt) {
    HRESULT hr = CheckMediaType(&mt);
    if (hr != S_OK) return FAILED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED;
    m_connected = receivePin;
    hr = SetMediaType(&mt);
    if (SUCCEEDED(hr)) hr = receivePin->ReceiveConnection(this, &mt);
    if (SUCCEEDED(hr)) {
        hr = CompleteConnect(receivePin);
        if (SUCCEEDED(hr)) return S_OK;
        receivePin->Disconnect();
    }
    m_connected = nullptr;
    m_mt.Clear();
    return hr;
}

HRESULT CBasePin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) {
    if (!connector || !mt) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(*m_lock);
    if (m_connected) return VFW_E_ALREADY_CONNECTED;
    if (!m_filter->IsStopped()) return VFW_E_NOT_STOPPED;
    HRESULT hr = CheckConnect(connector);
    if (SUCCEEDED(hr)) {
        CMediaType type(*mt);
        hr = CheckMediaType(&type);
        if (hr != S_OK) hr = VFW_E_TYPE_NOT_ACCEPTED;
        if (SUCCEEDED(hr)) {
            m_connected = connector;
            hr = SetMediaType(&type);
            if (SUCCEEDED(hr)) hr = CompleteConnect(connector);
            if (SUCCEEDED(hr)) return S_OK;
        }
    }
    m_connected = nullptr;
    m_mt.Clear();
    BreakConnect();
    return hr;
}

HRESULT CBasePin::Disconnect() {
    std::lock_guard<std::recursive_mutex> guard(*m_lock);
    if (!m_connected) return S_FALSE;
    if (!m_filter->IsStopped()) return VFW_E_NOT_STOPPED;
    BreakConnect();
    m_connected = nullptr;
    m_mt.Clear();
    return S_OK;
}

HRESULT CBasePin::ConnectedTo(IPin** pin) {
    if (!pin) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(*m_lock);
    *pin = m_connected.Get();
    if (!*pin) return VFW_E_NOT_CONNECTED;
    (*pin)->AddRef();
    return S_OK;
}

HRESULT CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* mt) {
    if (!mt) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(*m_lock);
    if (!m_connected) {
        std::memset(mt, 0, sizeof *mt);
        return VFW_E_NOT_CONNECTED;
    }
    return CopyMediaType(mt, &m_mt);
}

HRESULT CBasePin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    m_segmentStart = start;
    m_segmentStop = stop;
    m_rate = rate;
    return S_OK;
}

HRESULT CBasePin::QueryPinInfo(PIN_INFO* info) {
    if (!info) return E_POINTER;
    info->pFilter = m_filter;
    m_filter->AddRef();
    info->dir = m_dir;
    std::wcsncpy(info->achName, m_name.c_str(), MAX_PIN_NAME - 1);
    info->achName[MAX_PIN_NAME - 1] = 0;
    return S_OK;
}

HRESULT CBasePin::QueryDirection(PIN_DIRECTION* dir) {
    if (!dir) return E_POINTER;
    *dir = m_dir;
    return S_OK;
}

HRESULT CBasePin::QueryAccept(const AM_MEDIA_TYPE* mt) {
    if (!mt) return E_POINTER;
    CMediaType type(*mt);
    HRESULT hr = CheckMediaType(&type);
    return hr == S_OK ? S_OK : S_FALSE;
}

HRESULT CBasePin::EnumMediaTypes(IEnumMediaTypes** out) {
    if (!out) return E_POINTER;
    *out = CreateComObject<CEnumMediaTypes>(this);
    return S_OK;
}

HRESULT CBasePin::GetMediaType(int position, CMediaType*) {
    return position < 0 ? E_INVALIDARG : VFW_S_NO_MORE_ITEMS;
}

HRESULT CBasePin::SetMediaType(const CMediaType* mt) {
    m_mt = *mt;
    return S_OK;
}

HRESULT CBasePin::CheckConnect(IPin* peer) {
    PIN_DIRECTION dir;
    HRESULT hr = peer->QueryDirection(&dir);
    if (FAILED(hr)) return hr;
    return dir == m_dir ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT CBasePin::CompleteConnect(IPin*) {
    return S_OK;
}

HRESULT CEnumMediaTypes::Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) {
    if (!types) return E_POINTER;
    if (count > 1 && !fetched) return E_POINTER;
    ULONG n = 0;
    while (n < count) {
        CMediaType mt;
        if (m_pin->GetMediaType(m_position, &mt) != S_OK) break;
        ++m_position;
        types[n] = CreateMediaType(&mt);
        if (!types[n]) break;
        ++n;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
}

HRESULT CEnumMediaTypes::Skip(ULONG count) {
    m_position += static_cast<int>(count);
    CMediaType mt;
    return m_pin->GetMediaType(m_position - 1, &mt) == S_OK ? S_OK : S_FALSE;
}

HRESULT CEnumMediaTypes::Reset() {
    m_position = 0;
    return S_OK;
}

HRESULT CEnumMediaTypes::Clone(IEnumMediaTypes** out) {
    if (!out) return E_POINTER;
    *out = CreateComObject<CEnumMediaTypes>(m_pin.Get(), m_position);
    return S_OK;
}
