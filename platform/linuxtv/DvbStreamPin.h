// The transport-stream output of a real DVB tuner: the same samples (major type Stream, subtype
// MPEG-2 transport, 64 packets each) the air's tuner pin delivers, read from the stream of the
// tuner's latest tune.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/graph/SourceStream.h"
#include "platform/linuxtv/DvbTransportStream.h"

class DvbStreamPin : public CSourceStream {
public:
    static constexpr LONG kPacketsPerSample = 64;
    using StreamSource = std::function<std::shared_ptr<DvbTransportStream>()>;

    DvbStreamPin(CBaseFilter* filter, std::recursive_mutex* lock, StreamSource source);

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
    std::mutex m_consumerLock;  // the stopping thread closes the consumer the streaming thread reads
    std::shared_ptr<DvbTransportStream> m_stream;
    std::shared_ptr<AirConsumer> m_consumer;
    std::atomic<uint64_t> m_delivered{0};
};
