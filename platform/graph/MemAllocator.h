// A sample allocator: fresh samples over buffers recycled through a pool, so a running
// stream does not allocate per sample once the pool is warm.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/graph/GraphInterfaces.h"

// Spare buffers of one size. Shared by the allocator and its outstanding samples, so a sample
// may outlive the allocator.
class SampleBufferPool {
public:
    explicit SampleBufferPool(LONG bufferSize, size_t keep) : m_size(bufferSize), m_keep(keep) {}
    std::unique_ptr<BYTE[]> take();
    // Buffers of another size (the allocator was resized meanwhile) are dropped.
    void giveBack(std::unique_ptr<BYTE[]> buffer, LONG size);
    LONG bufferSize() const { return m_size; }

private:
    std::mutex m_lock;
    std::vector<std::unique_ptr<BYTE[]>> m_spare;
    LONG m_size;
    size_t m_keep;
};

class CMemAllocator : public ComObject<IMemAllocator> {
public:
    HRESULT SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override;
    HRESULT GetProperties(ALLOCATOR_PROPERTIES* props) override;
    HRESULT Commit() override;
    HRESULT Decommit() override;
    HRESULT GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                      DWORD flags) override;

private:
    std::mutex m_lock;
    ALLOCATOR_PROPERTIES m_props{1, 0, 1, 0};
    bool m_committed = false;
    std::shared_ptr<SampleBufferPool> m_pool;
};
