// Puts a video and an audio sample grabber, each ending in a null renderer, into a graph,
// binds them to the plug-in's callbacks and keeps the types they were connected with.
#pragma once

#include "base/PCondMutex.h"
#include "plugin/CSampleGrabber.h"

class GrabberSink {
public:
    static constexpr LONG kAudioStreamId = 0;
    static constexpr LONG kVideoStreamId = 1;

    GrabberSink(SampleGrabberCallBack* audioCallBack, SampleGrabberCallBack* videoCallBack);
    virtual ~GrabberSink();
    GrabberSink(const GrabberSink&) = delete;
    GrabberSink& operator=(const GrabberSink&) = delete;

    // Grabbers with their accepted lists, then the renderers; the grabbers deliver nowhere yet.
    HRESULT addFilters(IGraphBuilder* graph, bool raw);
    // Runs the graph until video arrives (at most 5 s, then 300 ms more), stops it, and
    // connects fresh grabbers straight to the filters that fed the old ones.
    HRESULT startNStop(ICaptureGraphBuilder2* captureBuilder, bool raw);
    // On a seek: both grabbers drop what they hold and take t as their time base.
    void flush(REFERENCE_TIME t);
    // The grabbers' connected types as last read (empty records when unconnected).
    HRESULT currentVideoType(AM_MEDIA_TYPE* out);
    HRESULT currentAudioType(AM_MEDIA_TYPE* out);

    CSampleGrabber* videoGrabberFilter() const { return videoGrabber.Get(); }
    CSampleGrabber* audioGrabberFilter() const { return audioGrabber.Get(); }

protected:
    HRESULT addGrabberFilters(IGraphBuilder* graph);
    HRESULT addRendererFilters(IGraphBuilder* graph);
    void setRawVideoMediaType();
    void setRawAudioMediaType();
    void setCompressedMediaTypes();
    void bindCallBacks(PCondMutex* videoSignal, bool deliver);
    void readConnectedTypes(HRESULT* lastResult);
    static HRESULT runGraph(IGraphBuilder* graph);
    static HRESULT stopGraph(IGraphBuilder* graph);

    ComPtr<CSampleGrabber> videoGrabber;
    ComPtr<CSampleGrabber> audioGrabber;
    PCondMutex probeSignal;
    SampleGrabberCallBack* audioCallBack;
    SampleGrabberCallBack* videoCallBack;
    ComPtr<IBaseFilter> nullVideoRenderer;
    ComPtr<IBaseFilter> nullAudioRenderer;
    CMediaType audioType;
    CMediaType videoType;
    HRESULT createResult = S_OK;
};
