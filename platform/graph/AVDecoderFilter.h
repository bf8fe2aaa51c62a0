// Decoder the graph inserts between a compressed output and an input that takes only
// uncompressed types: MPEG-2 video and H.264 to YUY2 or RGB24, MPEG audio and AC-3 to
// 16-bit PCM (stereo at most, the source's rate).
#pragma once

#include <mutex>

#include "platform/graph/TransformFilter.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;
struct SwrContext;

class AVDecoderFilter : public CTransformFilter {
public:
    AVDecoderFilter();
    ~AVDecoderFilter() override;

    // True for the compressed types this decoder takes.
    static bool CanDecode(const AM_MEDIA_TYPE& mt);

    HRESULT CheckInputType(const CMediaType* mt) override;
    HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
    HRESULT GetMediaType(int position, CMediaType* mt) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;
    HRESULT SetMediaType(PIN_DIRECTION dir, const CMediaType* mt) override;
    HRESULT BreakConnect(PIN_DIRECTION dir) override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndOfStream() override;
    // A stop or a flush (seek) drops every frame the decoder still holds: nothing decoded
    // before it comes out after it.
    HRESULT Stop() override;
    HRESULT EndFlush() override;

    // Decoded frames delivered since the input was connected.
    long long FramesDelivered() const { return m_frames; }

private:
    HRESULT OpenDecoder(const CMediaType& in);
    void CloseDecoder();
    HRESULT Decode(AVPacket* packet);
    HRESULT DeliverVideo(AVFrame* frame);
    HRESULT DeliverAudio(AVFrame* frame);
    bool IsVideo() const;
    void DropHeldFrames();

    // Streaming (Receive, end of stream) against stop and flush.
    std::mutex m_streamLock;

    AVCodecContext* m_codec = nullptr;
    AVFrame* m_frame = nullptr;
    AVPacket* m_packet = nullptr;
    SwsContext* m_sws = nullptr;
    SwrContext* m_swr = nullptr;
    int m_swrInRate = 0, m_swrInFormat = -1, m_swrInChannels = 0;
    // Geometry and audio layout taken from the input type; the output types follow them.
    LONG m_width = 0, m_height = 0;
    REFERENCE_TIME m_frameTime = 0;
    int m_channels = 0, m_rate = 0;
    long long m_frames = 0;
};

HRESULT CreateDecoderFor(const AM_MEDIA_TYPE& mt, IBaseFilter** decoder);

// The media libraries write nothing to the host's standard error unless PELMO_AV_LOG is set
// (to a libav log level number, e.g. 32 for information).
void QuietMediaLibraries();
