// Base of pass-through filters that work on each sample where it lies and hand the same
// sample on: the output type is the input type, and both connections share one allocator.
#pragma once

#include "platform/graph/TransformFilter.h"
#include "platform/graph/TransformInputPin.h"
#include "platform/graph/TransformOutputPin.h"

class CTransInPlaceFilter : public CTransformFilter {
public:
    // modifiesData false: downstream may see the upstream allocator's buffers read-only.
    CTransInPlaceFilter(const wchar_t* objectName, const CLSID& clsid, bool modifiesData);

    HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
    HRESULT GetMediaType(int position, CMediaType* mt) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;
    HRESULT Receive(IMediaSample* sample) override;
    // The in-place work; S_OK passes the sample on, S_FALSE drops it.
    virtual HRESULT Transform(IMediaSample* sample) = 0;

    bool ModifiesData() const { return m_modifiesData; }

protected:
    // A copy of the sample in a buffer of the output allocator.
    HRESULT Copy(IMediaSample* source, IMediaSample** copy);
    void EnsurePins();

    bool m_modifiesData;
};

// Input pin of a pass-through filter: offers what downstream wants once the output is
// connected, and the downstream allocator.
class CTransInPlaceInputPin : public CTransformInputPin {
public:
    CTransInPlaceInputPin(CTransInPlaceFilter* filter, std::recursive_mutex* lock, const wchar_t* name);

    HRESULT EnumMediaTypes(IEnumMediaTypes** out) override;
    HRESULT GetAllocator(IMemAllocator** allocator) override;
    HRESULT CheckMediaType(const CMediaType* mt) override;

protected:
    CTransInPlaceFilter* m_inPlace;
};

// Output pin of a pass-through filter: delivers in the allocator its input was given.
class CTransInPlaceOutputPin : public CTransformOutputPin {
public:
    CTransInPlaceOutputPin(CTransInPlaceFilter* filter, std::recursive_mutex* lock, const wchar_t* name);

    HRESULT EnumMediaTypes(IEnumMediaTypes** out) override;
    HRESULT DecideAllocator(IMemInputPin* input, IMemAllocator** allocator) override;
};
