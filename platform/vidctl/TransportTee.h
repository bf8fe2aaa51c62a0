// Hands one MPEG-2 transport stream to several outputs: every sample that reaches the input is
// copied to each connected output, in arrival order, before the next is taken. An output that
// is slow to take its samples holds up the others (as a tee in any graph does); its
// allocator's buffers bound how far it may lag.
#pragma once

#include <memory>
#include <vector>

#include "platform/graph/BaseFilter.h"
#include "platform/graph/BaseInputPin.h"
#include "platform/graph/BaseOutputPin.h"
#include "platform/vidctl/VidCtlInterfaces.h"

// {6F2A51D3-3B8E-4D27-9A14-7E0C5B2D9F31}
VIDCTL_GUID(CLSID_TransportTee, 0x6F2A51D3, 0x3B8E, 0x4D27, 0x9A, 0x14, 0x7E, 0x0C, 0x5B, 0x2D, 0x9F, 0x31);

class TransportTee : public CBaseFilter {
public:
    explicit TransportTee(int outputs);
    ~TransportTee() override;

    int GetPinCount() override { return 1 + static_cast<int>(m_outputs.size()); }
    CBasePin* GetPin(int n) override;

    uint64_t samplesReceived() const { return m_received.load(); }

private:
    class InputPin;
    class OutputPin;
    HRESULT deliver(IMediaSample* sample);

    std::unique_ptr<InputPin> m_input;
    std::vector<std::unique_ptr<OutputPin>> m_outputs;
    std::atomic<uint64_t> m_received{0};
};
