#include "platform/graph/MediaFileSourcePin.h"

#include <cstdint>
extern "C" {
#include <libavformat/avformat.h>
}

#include <cstring>

#include "platform/graph/MediaFileSource.h"

MediaFileSourcePin::MediaFileSourcePin(MediaFileSource* source, std::recursive_mutex* lock,
                                       const wchar_t* name, int streamIndex, const CMediaType& type,
                                       LONG bufferSize)
    : CSourceStream(source, lock, name),
      m_source(source),
      m_streamIndex(streamIndex),
      m_type(type),
      m_bufferSize(bufferSize) {}

HRESULT MediaFileSourcePin::CheckMediaType(const CMediaType* mt) {
    if (!mt) return E_POINTER;
    return mt->MatchesExactly(m_type) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT MediaFileSourcePin::GetMediaType(int position, CMediaType* mt) {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    *mt = m_type;
    return S_OK;
}

HRESULT MediaFileSourcePin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) {
    ALLOCATOR_PROPERTIES want{4, m_bufferSize, 1, 0};
    return allocator->SetProperties(&want, props);
}

HRESULT MediaFileSourcePin::Active() {
    m_source->SetDraining(m_streamIndex, true);
    return CSourceStream::Active();
}

HRESULT MediaFileSourcePin::Inactive() {
    HRESULT hr = CSourceStream::Inactive();
    m_source->SetDraining(m_streamIndex, false);
    return hr;
}

void MediaFileSourcePin::OnDeliveryEnded() {
    m_source->SetDraining(m_streamIndex, false);
}

HRESULT MediaFileSourcePin::FillBuffer(IMediaSample* sample) {
    for (;;) {
        if (StopRequested()) return S_FALSE;
        AVPacket* packet = m_source->NextPacket(m_streamIndex);
        if (!packet) return S_FALSE;
        BYTE* dst = nullptr;
        sample->GetPointer(&dst);
        // A packet larger than any buffer is corrupt input: skip it, mark the gap.
        if (packet->size <= 0 || packet->size > sample->GetSize() || !dst) {
            av_packet_free(&packet);
            sample->SetDiscontinuity(TRUE_);
            continue;
        }
        std::memcpy(dst, packet->data, static_cast<size_t>(packet->size));
        sample->SetActualDataLength(packet->size);
        int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (ts != AV_NOPTS_VALUE) {
            REFERENCE_TIME start = m_source->ToSegmentTime(m_streamIndex, ts);
            REFERENCE_TIME end =
                start + (packet->duration > 0
                             ? m_source->ToSegmentTime(m_streamIndex, ts + packet->duration) - start
                             : 1);
            sample->SetTime(&start, &end);
            m_source->NoteDelivered(start);
        } else {
            sample->SetTime(nullptr, nullptr);
        }
        sample->SetSyncPoint((packet->flags & AV_PKT_FLAG_KEY) != 0);
        av_packet_free(&packet);
        return S_OK;
    }
}
