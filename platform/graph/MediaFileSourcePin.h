// One elementary stream of a MediaFileSource as an output pin.
#pragma once

#include "platform/graph/SourceStream.h"

class MediaFileSource;

class MediaFileSourcePin : public CSourceStream {
public:
    MediaFileSourcePin(MediaFileSource* source, std::recursive_mutex* lock, const wchar_t* name,
                       int streamIndex, const CMediaType& type, LONG bufferSize);

    int StreamIndex() const { return m_streamIndex; }

    HRESULT CheckMediaType(const CMediaType* mt) override;
    HRESULT GetMediaType(int position, CMediaType* mt) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;
    HRESULT Active() override;
    HRESULT Inactive() override;

protected:
    HRESULT FillBuffer(IMediaSample* sample) override;
    void OnDeliveryEnded() override;

private:
    MediaFileSource* m_source;
    int m_streamIndex;
    CMediaType m_type;
    LONG m_bufferSize;
};
