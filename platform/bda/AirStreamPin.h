// An output pin that delivers a live air stream as MPEG-2 transport stream samples (major type
// Stream, subtype MPEG-2 transport). It follows retunes: when its source hands out a new
// stream, the pin reads that one from then on.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "platform/air/AirConsumer.h"
#include "platform/air/AirPacketSource.h"
#include "platform/air/AirStream.h"
#include "platform/graph/SourceStream.h"

class AirStreamPin : public CSourceStream {
public:
    static constexpr LONG kPacketsPerSample = 64;
    // The stream carried now; null while nothing is received.
    using StreamSource = std::function<std::shared_ptr<AirPacketSource>()>;

    // With `majorType` other than MEDIATYPE_Stream the pin offers that type (with no subtype)
    // instead, for connections that carry no samples of ours (an analog tuner's video output).
    AirStreamPin(CBaseFilter* filter, std::recursive_mutex* lock, const wchar_t* name, StreamSource source,
                 const GUID& majorType = MEDIATYPE_Stream);

    static void transportStreamType(CMediaType* mt);

    HRESULT CheckMediaType(const CMediaType* mt) override;
    HRESULT GetMediaType(int position, CMediaType* mt) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;

    uint64_t packetsDelivered() const { return m_delivered.load(); }

protected:
    HRESULT FillBuffer(IMediaSample* sample) override;
    void OnStopRequested() override;

private:
    std::shared_ptr<AirConsumer> follow();

    StreamSource m_source;
    GUID m_majorType;
    std::mutex m_consumerLock;  // the stopping thread closes the consumer the streaming thread reads
    std::shared_ptr<AirPacketSource> m_stream;
    std::shared_ptr<AirConsumer> m_consumer;
    std::atomic<uint64_t> m_delivered{0};
};
