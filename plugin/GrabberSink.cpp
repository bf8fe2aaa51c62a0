#include "plugin/GrabberSink.h"

#include <cerrno>
#include <chrono>
#include <new>
#include <thread>

#include "base/Log.h"
#include "platform/com/ClassRegistry.h"
#include "platform/graph/GraphInterfaces.h"
#include "scan/DeviceDecodeUtils.h"

GrabberSink::GrabberSink(SampleGrabberCallBack* audio, SampleGrabberCallBack* video)
    : audioCallBack(audio), videoCallBack(video) {}

GrabberSink::~GrabberSink() = default;

HRESULT GrabberSink::runGraph(IGraphBuilder* graph) {
    ComPtr<IMediaControl> control;
    HRESULT hr = graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control));
    if (FAILED(hr)) return hr;
    hr = control->Run();
    if (FAILED(hr)) {
        error(L"Failed to run the stream graph  %X", hr);
        control->Stop();
    }
    return hr;
}

HRESULT GrabberSink::stopGraph(IGraphBuilder* graph) {
    ComPtr<IMediaControl> control;
    HRESULT hr = graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control));
    if (SUCCEEDED(hr)) hr = control->Stop();
    if (FAILED(hr)) error(L"Failed to stop the stream graph  %X", hr);
    return hr;
}

HRESULT GrabberSink::addGrabberFilters(IGraphBuilder* graph) {
    videoGrabber.Attach(new (std::nothrow) CSampleGrabber(&createResult));
    if (!videoGrabber || FAILED(createResult)) {
        videoGrabber = nullptr;
        error(L"Video grabber allocation failed ");
        return E_FAIL;
    }
    videoGrabber->AddRef();
    audioGrabber.Attach(new (std::nothrow) CSampleGrabber(&createResult));
    if (!audioGrabber || FAILED(createResult)) {
        audioGrabber = nullptr;
        error(L"Audio grabber allocation failed ");
        return E_FAIL;
    }
    audioGrabber->AddRef();
    HRESULT hr = graph->AddFilter(videoGrabber.Get(), L"video grabber");
    if (FAILED(hr)) {
        error(L"AddFilter video grabber failed %X", hr);
        return hr;
    }
    hr = graph->AddFilter(audioGrabber.Get(), L"audio grabber");
    if (FAILED(hr)) {
        error(L"AddFilter audio grabber failed %X", hr);
        return hr;
    }
    return hr;
}

HRESULT GrabberSink::addRendererFilters(IGraphBuilder* graph) {
    HRESULT hr = CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reinterpret_cast<void**>(&nullVideoRenderer));
    if (FAILED(hr)) {
        error(L"create VideoRenderer  failed %X", hr);
        return hr;
    }
    hr = graph->AddFilter(nullVideoRenderer.Get(), L"null video renderer");
    if (FAILED(hr)) {
        error(L"AddFilter null video renderer failed %X", hr);
        return hr;
    }
    hr = CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                          reinterpret_cast<void**>(&nullAudioRenderer));
    if (FAILED(hr)) {
        error(L"RenderToGrabber_device : create AudioRenderer  failed %X", hr);
        return hr;
    }
    hr = graph->AddFilter(nullAudioRenderer.Get(), L"null audio renderer");
    if (FAILED(hr)) {
        error(L"AddFilter null audio renderer failed %X", hr);
        return hr;
    }
    return hr;
}

namespace {
CMediaType majorSubType(const GUID& major, const GUID& sub) {
    CMediaType mt;
    mt.majortype = major;
    mt.subtype = sub;
    return mt;
}
}  // namespace

void GrabberSink::setRawVideoMediaType() {
    info(L"GrabberSink::setRawVideoMediaType ");
    CMediaType yuy2 = majorSubType(MEDIATYPE_Video, MEDIASUBTYPE_YUY2);
    CMediaType rgb24 = majorSubType(MEDIATYPE_Video, MEDIASUBTYPE_RGB24);
    videoGrabber->SetAcceptedMediaType(0, &yuy2);
    videoGrabber->SetAcceptedMediaType(1, &rgb24);
}

void GrabberSink::setRawAudioMediaType() {
    info(L"GrabberSink::setRawAudioMediaType ");
    CMediaType pcm = majorSubType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    audioGrabber->SetAcceptedMediaType(0, &pcm);
}

void GrabberSink::setCompressedMediaTypes() {
    CMediaType video = majorSubType(MEDIATYPE_Video, GUID_NULL);
    CMediaType audio = majorSubType(MEDIATYPE_Audio, GUID_NULL);
    videoGrabber->SetAcceptedMediaType(0, &video);
    audioGrabber->SetAcceptedMediaType(0, &audio);
}

void GrabberSink::bindCallBacks(PCondMutex* videoSignal, bool deliver) {
    audioGrabber->SetCallback(deliver ? audioCallBack : nullptr, kAudioStreamId, nullptr);
    videoGrabber->SetCallback(deliver ? videoCallBack : nullptr, kVideoStreamId, videoSignal);
}

void GrabberSink::readConnectedTypes(HRESULT* lastResult) {
    audioType.Clear();
    videoType.Clear();
    HRESULT hr = audioGrabber->GetConnectedMediaType(&audioType);
    hr = videoGrabber->GetConnectedMediaType(&videoType);
    if (lastResult) *lastResult = hr;
}

HRESULT GrabberSink::addFilters(IGraphBuilder* graph, bool raw) {
    if (!graph) return E_POINTER;
    HRESULT hr = addGrabberFilters(graph);
    if (FAILED(hr)) {
        error(L"GrabberSink::addGrabber addGrabberFilters failed %X", hr);
        return hr;
    }
    if (raw) {
        setRawVideoMediaType();
        setRawAudioMediaType();
    } else {
        setCompressedMediaTypes();
    }
    hr = addRendererFilters(graph);
    if (FAILED(hr)) {
        error(L"GrabberSink::addGrabber addRendererFilters failed %X", hr);
        return hr;
    }
    hr = audioGrabber->SetCallback(nullptr, kAudioStreamId, nullptr);
    hr = videoGrabber->SetCallback(nullptr, kVideoStreamId, nullptr);
    return hr;
}

HRESULT GrabberSink::startNStop(ICaptureGraphBuilder2* captureBuilder, bool raw) {
    if (!captureBuilder) return E_POINTER;
    // Every video sample of the probe signals; none reaches the plug-in.
    bindCallBacks(&probeSignal, false);
    ComPtr<IGraphBuilder> graph;
    HRESULT hr = captureBuilder->GetFiltergraph(&graph);
    if (FAILED(hr)) {
        error(L"GrabberSink::addGrabber GetFiltergraph failed %X", hr);
        return hr;
    }
    info(L"starting the graph");
    runGraph(graph.Get());
    probeSignal.lock();
    if (probeSignal.timedWait(5000L) == ETIMEDOUT) info(L"timeout waiting for packets");
    probeSignal.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    info(L"stoping the graph");
    stopGraph(graph.Get());

    // The filters that fed the grabbers are the decoders the graph chose.
    ComPtr<IBaseFilter> audioUpstream, videoUpstream;
    DeviceDecodeUtils::GetConnectedFilter(audioGrabber.Get(), PINDIR_INPUT, &audioUpstream);
    DeviceDecodeUtils::GetConnectedFilter(videoGrabber.Get(), PINDIR_INPUT, &videoUpstream);

    graph->RemoveFilter(nullVideoRenderer.Get());
    graph->RemoveFilter(nullAudioRenderer.Get());
    graph->RemoveFilter(videoGrabber.Get());
    graph->RemoveFilter(audioGrabber.Get());
    nullVideoRenderer = nullptr;
    nullAudioRenderer = nullptr;
    videoGrabber = nullptr;
    audioGrabber = nullptr;

    hr = addFilters(graph.Get(), raw);
    if (FAILED(hr)) {
        error(L"GrabberSink::addGrabber addFilters failed %X", hr);
        return hr;
    }
    if (videoUpstream) {
        hr = captureBuilder->RenderStream(nullptr, &MEDIATYPE_Video, videoUpstream.Get(), videoGrabber.Get(),
                                          nullVideoRenderer.Get());
        if (FAILED(hr)) {
            warn(L"can't connect video pins between interface and grabber %X", hr);
            return hr;
        }
    }
    if (audioUpstream) {
        hr = captureBuilder->RenderStream(nullptr, &MEDIATYPE_Audio, audioUpstream.Get(), audioGrabber.Get(),
                                          nullAudioRenderer.Get());
        if (FAILED(hr)) {
            warn(L"can't connect audio pins between interface and grabber %X", hr);
            return hr;
        }
    }
    bindCallBacks(nullptr, true);
    readConnectedTypes(&hr);
    return hr;
}

void GrabberSink::flush(REFERENCE_TIME t) {
    if (audioGrabber) audioGrabber->FlushBuffers(t);
    if (videoGrabber) videoGrabber->FlushBuffers(t);
}

HRESULT GrabberSink::currentVideoType(AM_MEDIA_TYPE* out) {
    if (!out) return E_POINTER;
    if (videoGrabber) {
        videoType.Clear();
        videoGrabber->GetConnectedMediaType(&videoType);
    }
    return CopyMediaType(out, &videoType);
}

HRESULT GrabberSink::currentAudioType(AM_MEDIA_TYPE* out) {
    if (!out) return E_POINTER;
    if (audioGrabber) {
        audioType.Clear();
        audioGrabber->GetConnectedMediaType(&audioType);
    }
    return CopyMediaType(out, &audioType);
}
