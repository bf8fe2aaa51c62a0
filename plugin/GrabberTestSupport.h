// Helpers shared by the grabber tests: a callback that records what it is handed, and samples
// made from bytes and times.
#pragma once

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "base/FrameBufferPool.h"
#include "platform/graph/GraphTestSupport.h"
#include "platform/graph/MediaSample.h"
#include "plugin/SampleGrabberCallBack.h"

struct Delivered {
    std::string bytes;
    REFERENCE_TIME start, end;
    int typeChanged, syncPoint;
    LONG streamId;
};

class RecordingCallBack : public SampleGrabberCallBack {
public:
    int sampleCallBack(BYTE* data, ULONG sizeLow, ULONG sizeHigh, REFERENCE_TIME* start, REFERENCE_TIME* end,
                       int typeChanged, int syncPoint, LONG streamId) override {
        std::lock_guard<std::mutex> guard(m_lock);
        size_t size = sizeLow | (static_cast<size_t>(sizeHigh) << 32);
        samples.push_back({std::string(reinterpret_cast<char*>(data), size), *start, *end, typeChanged,
                           syncPoint, streamId});
        FrameBufferPool::shared().release(data);
        return 0;
    }
    int endOfStream(LONG streamId) override {
        std::lock_guard<std::mutex> guard(m_lock);
        ends.push_back(streamId);
        return 0;
    }
    std::vector<Delivered> snapshot() {
        std::lock_guard<std::mutex> guard(m_lock);
        return samples;
    }
    std::vector<LONG> endsSeen() {
        std::lock_guard<std::mutex> guard(m_lock);
        return ends;
    }

    std::vector<Delivered> samples;
    std::vector<LONG> ends;

private:
    std::mutex m_lock;
};

// A sample holding text; timed when start >= kUntimed + 1.
constexpr REFERENCE_TIME kUntimed = INT64_MIN;
inline ComPtr<IMediaSample> makeSample(const std::string& text, REFERENCE_TIME start = kUntimed,
                                       REFERENCE_TIME end = kUntimed, bool sync = false) {
    LONG size = static_cast<LONG>(text.size()) + 1;
    std::unique_ptr<BYTE[]> buffer(new BYTE[static_cast<size_t>(size)]);
    std::copy(text.begin(), text.end(), buffer.get());
    ComPtr<IMediaSample> s;
    s.Attach(CreateComObject<CMediaSample>(std::move(buffer), size, nullptr));
    s->SetActualDataLength(static_cast<LONG>(text.size()));
    if (start != kUntimed) {
        if (end == kUntimed) end = start + 1;
        s->SetTime(&start, &end);
    }
    s->SetSyncPoint(sync ? 1 : 0);
    return s;
}
