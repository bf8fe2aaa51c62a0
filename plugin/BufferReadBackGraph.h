// The read-back graph: the stream-buffer source over the time-shift buffer file, the video and
// audio sample grabbers (through the platform's decoders for raw output) and the null
// renderers. Built stopped and positioned at the newest data in the buffer.
#pragma once

#include <memory>
#include <string>

#include "platform/graph/GraphInterfaces.h"
#include "platform/sbe/SbeInterfaces.h"
#include "plugin/ReadBackGraph.h"

class TVCtlGrabberSink;

class BufferReadBackGraph : public ReadBackGraph {
public:
    // The stream buffer's settings, below the current user's hive.
    static constexpr const wchar_t* kStreamBufferKey = L"Software\\Kelvarin\\Pelmo\\Skyvane\\StreamBuffer";

    BufferReadBackGraph();
    // Tears the graph down: grabbers and source released, every filter removed.
    ~BufferReadBackGraph() override;
    BufferReadBackGraph(const BufferReadBackGraph&) = delete;
    BufferReadBackGraph& operator=(const BufferReadBackGraph&) = delete;

    // Each failing step logs its own line and answers the platform's code; what was made stays
    // until destruction. Once the filter graph exists a build only seeks to the live edge.
    HRESULT build(const std::wstring& bufferPath, bool raw, SampleGrabberCallBack& callBack) override;
    bool exists() const override { return static_cast<bool>(sourceGraph); }
    HRESULT run() override;
    HRESULT pause() override;
    HRESULT stop() override;
    void waitStopped() override;
    HRESULT getCurrentPosition(REFERENCE_TIME& position) override;
    HRESULT seek(REFERENCE_TIME position) override;
    bool canSeekAbsolute() override;
    void describe(pelmo::streamer::StreamDescription& description) override;

    // Binds the source to the stream buffer's registry key; a missing key answers the
    // registry's (positive) code and changes nothing.
    static HRESULT setupTVBuffer(IStreamBufferSource* source);
    // Moves the source to the newest available position; an empty buffer stays where it is.
    HRESULT seekToLiveEdge();

    IGraphBuilder* graph() const { return sourceGraph.Get(); }
    TVCtlGrabberSink* sink() const { return grabberSink.get(); }

private:
    HRESULT control(HRESULT (IMediaControl::*operation)());

    ComPtr<IGraphBuilder> sourceGraph;
    ComPtr<IStreamBufferSource> bufferSource;
    ComPtr<ICaptureGraphBuilder2> captureBuilder;
    std::unique_ptr<TVCtlGrabberSink> grabberSink;
};
