// Ends a branch of the graph: accepts any type and discards every sample when it is due.
#pragma once

#include <atomic>

#include "platform/graph/BaseRenderer.h"

class CNullRenderer : public CBaseRenderer {
public:
    CNullRenderer();
    ~CNullRenderer() override;

    HRESULT CheckMediaType(const CMediaType* mt) override {
        return mt && mt->IsValid() ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT DoRenderSample(IMediaSample*) override {
        ++m_samples;
        return S_OK;
    }
    void OnEndOfStream() override { m_endOfStream = true; }
    void OnBeginFlush() override { m_endOfStream = false; }

    // Samples and ends of stream seen since creation (for diagnostics and tests); a flush
    // forgets an end of stream, as the stream goes on from the new position.
    long long SamplesReceived() const { return m_samples.load(); }
    bool EndOfStreamSeen() const { return m_endOfStream.load(); }

private:
    std::atomic<long long> m_samples{0};
    std::atomic<bool> m_endOfStream{false};
};
