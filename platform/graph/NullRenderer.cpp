#include "platform/graph/NullRenderer.h"

class CNullRenderer::InputPin : public CBaseInputPin {
public:
    InputPin(CNullRenderer* owner, std::recursive_mutex* lock)
        : CBaseInputPin(owner, lock, L"In"), m_owner(owner) {}
    HRESULT CheckMediaType(const CMediaType* mt) override {
        return mt && mt->IsValid() ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT Receive(IMediaSample* sample) override {
        HRESULT hr = CBaseInputPin::Receive(sample);
        if (hr != S_OK) return hr;
        ++m_owner->m_samples;
        return S_OK;
    }
    HRESULT EndOfStream() override {
        m_owner->m_endOfStream = true;
        return S_OK;
    }

private:
    CNullRenderer* m_owner;
};

CNullRenderer::CNullRenderer() : CBaseFilter(L"Null Renderer", CLSID_NullRenderer) {
    m_input = std::make_unique<InputPin>(this, &m_filterLock);
}

CNullRenderer::~CNullRenderer() = default;

CBasePin* CNullRenderer::GetPin(int n) {
    return n == 0 ? m_input.get() : nullptr;
}
