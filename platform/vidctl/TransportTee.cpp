#include "platform/vidctl/TransportTee.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/bda/AirStreamPin.h"

namespace {

bool isTransportStream(const CMediaType* mt) {
    return mt && mt->majortype == MEDIATYPE_Stream && mt->subtype == MEDIASUBTYPE_MPEG2_TRANSPORT;
}

constexpr LONG kPacket = 188;

}  // namespace

class TransportTee::OutputPin : public CBaseOutputPin {
public:
    OutputPin(TransportTee* owner, std::recursive_mutex* lock, const std::wstring& name)
        : CBaseOutputPin(owner, lock, name.c_str()) {}

    HRESULT CheckMediaType(const CMediaType* mt) override {
        return isTransportStream(mt) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT GetMediaType(int position, CMediaType* mt) override {
        if (position < 0) return E_INVALIDARG;
        if (position > 0) return VFW_S_NO_MORE_ITEMS;
        AirStreamPin::transportStreamType(mt);
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override {
        ALLOCATOR_PROPERTIES want{8, AirStreamPin::kPacketsPerSample * kPacket, 1, 0};
        return allocator->SetProperties(&want, props);
    }

    // Copies `size` bytes into as many samples as they need (whole packets each).
    HRESULT send(const BYTE* data, LONG size) {
        while (size > 0) {
            ComPtr<IMediaSample> out;
            HRESULT hr = GetDeliveryBuffer(&out, nullptr, nullptr, 0);
            if (FAILED(hr)) return hr;
            BYTE* buffer = nullptr;
            out->GetPointer(&buffer);
            LONG room = out->GetSize() / kPacket * kPacket;
            if (!buffer || room <= 0) return E_UNEXPECTED;
            LONG n = std::min(size, room);
            std::memcpy(buffer, data, static_cast<size_t>(n));
            out->SetActualDataLength(n);
            out->SetTime(nullptr, nullptr);
            hr = Deliver(out.Get());
            if (hr != S_OK) return hr;
            data += n;
            size -= n;
        }
        return S_OK;
    }
};

class TransportTee::InputPin : public CBaseInputPin {
public:
    InputPin(TransportTee* owner, std::recursive_mutex* lock)
        : CBaseInputPin(owner, lock, L"Transport In"), m_owner(owner) {}

    HRESULT CheckMediaType(const CMediaType* mt) override {
        return isTransportStream(mt) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT GetMediaType(int position, CMediaType* mt) override {
        if (position < 0) return E_INVALIDARG;
        if (position > 0) return VFW_S_NO_MORE_ITEMS;
        AirStreamPin::transportStreamType(mt);
        return S_OK;
    }
    HRESULT Receive(IMediaSample* sample) override {
        HRESULT hr = CBaseInputPin::Receive(sample);
        if (hr != S_OK) return hr;
        return m_owner->deliver(sample);
    }
    HRESULT EndOfStream() override {
        for (auto& out : m_owner->m_outputs)
            if (out->IsConnected()) out->DeliverEndOfStream();
        return S_OK;
    }
    HRESULT BeginFlush() override {
        CBaseInputPin::BeginFlush();
        for (auto& out : m_owner->m_outputs)
            if (out->IsConnected()) out->DeliverBeginFlush();
        return S_OK;
    }
    HRESULT EndFlush() override {
        for (auto& out : m_owner->m_outputs)
            if (out->IsConnected()) out->DeliverEndFlush();
        return CBaseInputPin::EndFlush();
    }
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override {
        CBaseInputPin::NewSegment(start, stop, rate);
        for (auto& out : m_owner->m_outputs)
            if (out->IsConnected()) out->DeliverNewSegment(start, stop, rate);
        return S_OK;
    }

private:
    TransportTee* m_owner;
};

TransportTee::TransportTee(int outputs) : CBaseFilter(L"Transport Tee", CLSID_TransportTee) {
    m_input = std::make_unique<InputPin>(this, &m_filterLock);
    for (int i = 0; i < std::max(outputs, 1); ++i)
        m_outputs.push_back(
            std::make_unique<OutputPin>(this, &m_filterLock, L"Transport Out " + std::to_wstring(i + 1)));
}

TransportTee::~TransportTee() = default;

CBasePin* TransportTee::GetPin(int n) {
    if (n == 0) return m_input.get();
    if (n > 0 && static_cast<size_t>(n) <= m_outputs.size())
        return m_outputs[static_cast<size_t>(n - 1)].get();
    return nullptr;
}

HRESULT TransportTee::deliver(IMediaSample* sample) {
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    LONG size = sample->GetActualDataLength();
    if (!data || size <= 0) return S_OK;
    ++m_received;
    // An output that refuses (stopping, or nothing downstream) does not stop the others.
    for (auto& out : m_outputs)
        if (out->IsConnected()) out->send(data, size);
    return S_OK;
}
