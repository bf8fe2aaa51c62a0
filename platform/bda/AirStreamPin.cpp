#include "platform/bda/AirStreamPin.h"

#include <chrono>
#include <thread>

#include "platform/air/TsPacket.h"

AirStreamPin::AirStreamPin(CBaseFilter* filter, std::recursive_mutex* lock, const wchar_t* name,
                           StreamSource source, const GUID& majorType)
    : CSourceStream(filter, lock, name), m_source(std::move(source)), m_majorType(majorType) {}

void AirStreamPin::transportStreamType(CMediaType* mt) {
    mt->Clear();
    mt->majortype = MEDIATYPE_Stream;
    mt->subtype = MEDIASUBTYPE_MPEG2_TRANSPORT;
    mt->formattype = FORMAT_None;
    mt->bFixedSizeSamples = 0;
    mt->lSampleSize = 0;
}

HRESULT AirStreamPin::CheckMediaType(const CMediaType* mt) {
    if (!mt) return E_POINTER;
    if (m_majorType != MEDIATYPE_Stream) return mt->majortype == m_majorType ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    return mt->majortype == MEDIATYPE_Stream && mt->subtype == MEDIASUBTYPE_MPEG2_TRANSPORT
               ? S_OK
               : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT AirStreamPin::GetMediaType(int position, CMediaType* mt) {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    transportStreamType(mt);
    if (m_majorType != MEDIATYPE_Stream) {
        mt->majortype = m_majorType;
        mt->subtype = GUID_NULL;
    }
    return S_OK;
}

HRESULT AirStreamPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) {
    ALLOCATOR_PROPERTIES want{8, kPacketsPerSample * 188, 1, 0};
    return allocator->SetProperties(&want, props);
}

std::shared_ptr<AirConsumer> AirStreamPin::follow() {
    std::shared_ptr<AirPacketSource> now = m_source ? m_source() : nullptr;
    std::lock_guard<std::mutex> guard(m_consumerLock);
    // A stop under way has closed the reader: no new one that would outlive it.
    if (StopRequested()) return nullptr;
    if (now != m_stream) {
        if (m_consumer) m_consumer->close();
        m_stream = now;
        m_consumer = now ? now->subscribe(AirStream::kDefaultConsumerPackets) : nullptr;
    }
    return m_consumer;
}

HRESULT AirStreamPin::FillBuffer(IMediaSample* sample) {
    BYTE* out = nullptr;
    sample->GetPointer(&out);
    size_t room = static_cast<size_t>(sample->GetSize()) / 188;
    if (!out || room == 0) return E_UNEXPECTED;
    while (!StopRequested()) {
        std::shared_ptr<AirConsumer> consumer = follow();
        if (!consumer) {
            // Nothing tuned or no signal yet: look again shortly.
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
            // Retuned or lost: drop this reader; the next pass subscribes again to whatever
            // the source has then (a source that lives on, like an encoder restarted after a
            // stop, gets a new reader too).
            std::lock_guard<std::mutex> guard(m_consumerLock);
            if (m_consumer == consumer) {
                m_consumer = nullptr;
                m_stream = nullptr;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return S_FALSE;
}

void AirStreamPin::OnStopRequested() {
    std::lock_guard<std::mutex> guard(m_consumerLock);
    if (m_consumer) m_consumer->close();
    m_consumer = nullptr;
    m_stream = nullptr;
}
