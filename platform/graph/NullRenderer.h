// Ends a branch of the graph: accepts any type and discards every sample.
#pragma once

#include <atomic>
#include <memory>

#include "platform/graph/BaseFilter.h"
#include "platform/graph/BaseInputPin.h"

class CNullRenderer : public CBaseFilter {
public:
    CNullRenderer();
    ~CNullRenderer() override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override;

    // Samples and ends of stream seen since creation (for diagnostics and tests).
    long long SamplesReceived() const { return m_samples.load(); }
    bool EndOfStreamSeen() const { return m_endOfStream.load(); }

private:
    class InputPin;
    std::unique_ptr<InputPin> m_input;
    std::atomic<long long> m_samples{0};
    std::atomic<bool> m_endOfStream{false};
};
