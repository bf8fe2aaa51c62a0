#include "base/FrameBufferPool.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Mappings are rounded up so that compressed pictures of slightly different sizes reuse them.
constexpr size_t kGranule = 64 * 1024;

size_t mappingLength(size_t size) {
    return (size + kGranule - 1) / kGranule * kGranule;
}

}  // namespace

FrameBufferPool::~FrameBufferPool() {
    // Whatever is still outstanding goes with the pool: its owners must be gone by now.
    for (const Mapping& m : m_spare) unmap(m);
    for (const auto& [address, length] : m_outstanding) unmap({address, length});
}

FrameBufferPool& FrameBufferPool::shared() {
    // Never destroyed: a host may release its last packets while the process exits.
    static FrameBufferPool* pool = new FrameBufferPool();
    return *pool;
}

void FrameBufferPool::unmap(const Mapping& m) {
    ::munmap(m.address, m.length);
}

uint8_t* FrameBufferPool::allocate(size_t size) {
    if (size < kMappedFrom) return static_cast<uint8_t*>(std::malloc(size > 0 ? size : 1));
    if (size > SIZE_MAX - kGranule) return nullptr;
    const size_t length = mappingLength(size);
    std::vector<Mapping> stale;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto best = m_spare.end();
        for (auto it = m_spare.begin(); it != m_spare.end(); ++it)
            if (it->length >= length && (best == m_spare.end() || it->length < best->length)) best = it;
        if (best != m_spare.end()) {
            Mapping m = *best;
            m_spare.erase(best);
            m_outstanding.emplace(m.address, m.length);
            return static_cast<uint8_t*>(m.address);
        }
        // Spares too small for this stream's samples belong to one that has gone (a smaller
        // picture before a channel change): they would never be used again.
        auto small = std::stable_partition(m_spare.begin(), m_spare.end(),
                                           [&](const Mapping& m) { return m.length >= length; });
        stale.assign(small, m_spare.end());
        m_spare.erase(small, m_spare.end());
        for (const Mapping& m : stale) m_mapped -= m.length;
    }
    for (const Mapping& m : stale) unmap(m);
    void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED) return nullptr;
    std::lock_guard<std::mutex> guard(m_lock);
    m_outstanding.emplace(address, length);
    m_mapped += length;
    return static_cast<uint8_t*>(address);
}

uint8_t* FrameBufferPool::grow(uint8_t* buffer, size_t used, size_t size) {
    if (!buffer) return allocate(size);
    bool mapped = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_outstanding.find(buffer);
        if (it != m_outstanding.end()) {
            if (it->second >= size) return buffer;
            mapped = true;
        }
    }
    if (!mapped && size < kMappedFrom) return static_cast<uint8_t*>(std::realloc(buffer, size));
    uint8_t* fresh = allocate(size);
    if (!fresh) return nullptr;
    std::memcpy(fresh, buffer, std::min(used, size));
    release(buffer);
    return fresh;
}

void FrameBufferPool::release(void* buffer) {
    if (!buffer) return;
    Mapping m{buffer, 0};
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_outstanding.find(buffer);
        if (it != m_outstanding.end()) {
            m.length = it->second;
            m_outstanding.erase(it);
            if (m_spare.size() < m_keep) {
                m_spare.push_back(m);
                return;
            }
            m_mapped -= m.length;
        }
    }
    if (m.length == 0)
        std::free(buffer);
    else
        unmap(m);
}

size_t FrameBufferPool::spareCount() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_spare.size();
}

size_t FrameBufferPool::outstandingCount() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_outstanding.size();
}

size_t FrameBufferPool::mappedBytes() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_mapped;
}
