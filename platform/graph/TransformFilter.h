// Base of filters with one input and one output pin that turn each input sample into output.
#pragma once

#include <memory>

#include "platform/graph/BaseFilter.h"
#include "platform/graph/BaseInputPin.h"
#include "platform/graph/BaseOutputPin.h"

class CTransformFilter : public CBaseFilter {
public:
    CTransformFilter(const wchar_t* objectName, const CLSID& clsid);
    ~CTransformFilter() override;

    int GetPinCount() override { return 2; }
    CBasePin* GetPin(int n) override;

    // Negotiation.
    virtual HRESULT CheckInputType(const CMediaType* mt) = 0;
    virtual HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) = 0;
    virtual HRESULT GetMediaType(int position, CMediaType* mt) = 0;
    virtual HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) = 0;
    virtual HRESULT SetMediaType(PIN_DIRECTION, const CMediaType*) { return S_OK; }
    virtual HRESULT CompleteConnect(PIN_DIRECTION, IPin*) { return S_OK; }
    virtual HRESULT BreakConnect(PIN_DIRECTION) { return S_OK; }

    // Streaming, on the upstream filter's thread.
    virtual HRESULT Receive(IMediaSample* sample);
    virtual HRESULT Transform(IMediaSample* in, IMediaSample* out);
    virtual HRESULT EndOfStream();
    // Flushing and segments, from the input pin: by default passed on downstream. EndFlush runs
    // when upstream no longer pushes, so a filter drops what it holds there.
    virtual HRESULT BeginFlush();
    virtual HRESULT EndFlush();
    virtual HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

    CBaseInputPin* InputPin();
    CBaseOutputPin* OutputPin();

protected:
    // Derived filters may put their own pins here in their constructors; missing ones are
    // made on first use.
    std::unique_ptr<CBaseInputPin> m_pInput;
    std::unique_ptr<CBaseOutputPin> m_pOutput;
};
