// Buffers for whole samples on their way from a grabber through the packet queue to the host.
//
// Raw video frames are large (a PAL frame in YUY2 is 810 kB) and are allocated on a streaming
// thread but freed on the host's reader thread. Left to the C library, a burst of them (a reader
// that falls behind fills the queue) stays resident in the streaming thread's arena after the
// burst is drained. Here a large buffer is its own mapping: a few freed ones are kept for the
// next frames, the rest go back to the system at once. Small buffers come from std::malloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

class FrameBufferPool {
public:
    // Buffers of at least this many bytes are mapped; smaller ones come from std::malloc.
    static constexpr size_t kMappedFrom = 256 * 1024;
    // Freed mapped buffers kept for reuse; enough for the frames in flight on a reader that keeps up.
    static constexpr size_t kDefaultSpares = 4;

    explicit FrameBufferPool(size_t spares = kDefaultSpares) : m_keep(spares) {}
    ~FrameBufferPool();
    FrameBufferPool(const FrameBufferPool&) = delete;
    FrameBufferPool& operator=(const FrameBufferPool&) = delete;

    // The process's pool: packets may be released by the host after the plug-in has gone.
    static FrameBufferPool& shared();

    // A buffer of at least size bytes, or nullptr when memory is exhausted.
    uint8_t* allocate(size_t size);
    // Like std::realloc: keeps the first `used` bytes; on failure answers nullptr and the
    // buffer stays valid and owned by the caller.
    uint8_t* grow(uint8_t* buffer, size_t used, size_t size);
    // Takes back a buffer of this pool, or std::free()s one that came from std::malloc.
    void release(void* buffer);

    // For tests and benchmarks.
    size_t spareCount();
    size_t outstandingCount();
    size_t mappedBytes();

private:
    struct Mapping {
        void* address;
        size_t length;
    };
    void unmap(const Mapping& m);

    std::mutex m_lock;
    std::unordered_map<void*, size_t> m_outstanding;
    std::vector<Mapping> m_spare;
    size_t m_keep;
    size_t m_mapped = 0;
};
