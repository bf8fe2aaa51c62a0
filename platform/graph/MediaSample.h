// One media sample: a buffer from an allocator's pool with its times and flags.
#pragma once

#include <memory>

#include "platform/graph/GraphInterfaces.h"

class SampleBufferPool;

class CMediaSample : public ComObject<IMediaSample> {
public:
    // The buffer goes back to the pool when the sample is destroyed (a null pool frees it).
    CMediaSample(std::unique_ptr<BYTE[]> buffer, LONG size, std::shared_ptr<SampleBufferPool> pool);
    ~CMediaSample() override;

    HRESULT GetPointer(BYTE** buffer) override;
    LONG GetSize() override { return m_size; }
    HRESULT GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override;
    HRESULT SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override;
    HRESULT IsSyncPoint() override { return m_sync ? S_OK : S_FALSE; }
    HRESULT SetSyncPoint(BOOL sync) override;
    HRESULT IsPreroll() override { return m_preroll ? S_OK : S_FALSE; }
    HRESULT SetPreroll(BOOL preroll) override;
    LONG GetActualDataLength() override { return m_length; }
    HRESULT SetActualDataLength(LONG length) override;
    HRESULT GetMediaType(AM_MEDIA_TYPE** mt) override;
    HRESULT SetMediaType(AM_MEDIA_TYPE* mt) override;
    HRESULT IsDiscontinuity() override { return m_discontinuity ? S_OK : S_FALSE; }
    HRESULT SetDiscontinuity(BOOL discontinuity) override;

private:
    std::unique_ptr<BYTE[]> m_buffer;
    LONG m_size;
    std::shared_ptr<SampleBufferPool> m_pool;
    LONG m_length = 0;
    bool m_hasStart = false;
    bool m_hasEnd = false;
    REFERENCE_TIME m_start = 0;
    REFERENCE_TIME m_end = 0;
    bool m_sync = false;
    bool m_preroll = false;
    bool m_discontinuity = false;
    std::unique_ptr<CMediaType> m_type;
};
