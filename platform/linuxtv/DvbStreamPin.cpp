#include "platform/linuxtv/DvbStreamPin.h"

#include <chrono>
#include <thread>

#include "platform/bda/AirStreamPin.h"

DvbStreamPin::DvbStreamPin(CBaseFilter* filter, std::recursive_mutex* lock, StreamSource source)
    : CSourceStream(filter, lock, L"MPEG-2 Transport"), m_source(std::move(source)) {}

HRESULT DvbStreamPin::CheckMediaType(const CMediaType* mt) {
    if (!mt) return E_POINTER;
    return mt->majortype == MEDIATYPE_Stream && mt->subtype == MEDIASUBTYPE_MPEG2_TRANSPORT
               ? S_OK
               : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT DvbStreamPin::GetMediaType(int position, CMediaType* mt) {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    AirStreamPin::transportStreamType(mt);
    return S_OK;
}

HRESULT DvbStreamPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) {
    ALLOCATOR_PROPERTIES want{8, kPacketsPerSample * 188, 1, 0};
    return allocator->SetProperties(&want, props);
}

std::shared_ptr<AirConsumer> DvbStreamPin::follow() {
    std::shared_ptr<DvbTransportStream> now = m_source ? m_source() : nullptr;
    std::lock_guard<std::mutex> guard(m_consumerLock);
    if (now != m_stream) {
        if (m_consumer) m_consumer->close();
        m_stream = now;
        m_consumer = now ? now->subscribe() : nullptr;
    }
    return m_consumer;
}

HRESULT DvbStreamPin::FillBuffer(IMediaSample* sample) {
    BYTE* out = nullptr;
    sample->GetPointer(&out);
    size_t room = static_cast<size_t>(sample->GetSize()) / 188;
    if (!out || room == 0) return E_UNEXPECTED;
    while (!StopRequested()) {
        std::shared_ptr<AirConsumer> consumer = follow();
        if (!consumer) {
            // Nothing tuned yet: look again shortly.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        size_t got = 0;
        AirConsumer::Read r = consumer->read(out, room, got, 50);
        if (r == AirConsumer::Read::Data && got > 0) {
            sample->SetActualDataLength(static_cast<LONG>(got * 188));
            sample->SetTime(nullptr, nullptr);
            sample->SetSyncPoint(0);
            m_delivered.fetch_add(got);
            return S_OK;
        }
        if (r == AirConsumer::Read::Ended) {
            // Retuned or the device went away: a new stream is picked up on the next pass.
            std::lock_guard<std::mutex> guard(m_consumerLock);
            if (m_consumer == consumer) m_consumer = nullptr;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return S_FALSE;
}

void DvbStreamPin::OnStopRequested() {
    std::lock_guard<std::mutex> guard(m_consumerLock);
    if (m_consumer) m_consumer->close();
    m_consumer = nullptr;
    m_stream = nullptr;
}
