// The operations the plug-in's lifecycle needs from the media graph that plays the time-shift
// buffer back into the two sample grabbers. Destroying it tears the graph down.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "host/StreamDescription.h"
#include "platform/com/Types.h"

class SampleGrabberCallBack;

class ReadBackGraph {
public:
    virtual ~ReadBackGraph() = default;
    // Builds the graph over the buffer file with both grabbers calling back into callBack,
    // raw selecting decoded output, and seeks to the newest data. Once built, only seeks again.
    virtual HRESULT build(const std::wstring& bufferPath, bool raw, SampleGrabberCallBack& callBack) = 0;
    // False while not even the graph object could be made: a later open builds afresh.
    virtual bool exists() const { return true; }
    virtual HRESULT run() = 0;
    virtual HRESULT pause() = 0;
    virtual HRESULT stop() = 0;
    // Returns once the graph reads stopped: no streaming thread calls back after that.
    virtual void waitStopped() = 0;
    // Positions in 100-ns units.
    virtual HRESULT getCurrentPosition(REFERENCE_TIME& position) = 0;
    // Flushes both grabbers to the new time base and seeks the source; the caller runs the graph.
    virtual HRESULT seek(REFERENCE_TIME position) = 0;
    virtual bool canSeekAbsolute() = 0;
    virtual void describe(pelmo::streamer::StreamDescription& description) = 0;
};

// Null when no graph can be made.
using ReadBackGraphFactory = std::function<std::unique_ptr<ReadBackGraph>()>;
