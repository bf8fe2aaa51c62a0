#include "plugin/BufferReadBackGraph.h"

#include <chrono>
#include <new>
#include <thread>

#include "base/Log.h"
#include "platform/com/ClassRegistry.h"
#include "platform/graph/GraphClasses.h"
#include "platform/registry/Registry.h"
#include "plugin/OutputStreamDescription.h"
#include "plugin/TVCtlGrabberSink.h"
#include "scan/DeviceDecodeUtils.h"

BufferReadBackGraph::BufferReadBackGraph() = default;

BufferReadBackGraph::~BufferReadBackGraph() {
    if (sourceGraph) control(&IMediaControl::Stop);
    // The grabbers go first: their callbacks point into the plug-in.
    grabberSink.reset();
    bufferSource = nullptr;
    // Connected filters hold each other until they leave the graph.
    if (sourceGraph) DeviceDecodeUtils::RemoveAllFilters(sourceGraph.Get());
    captureBuilder = nullptr;
    sourceGraph = nullptr;
}

HRESULT BufferReadBackGraph::build(const std::wstring& bufferPath, bool raw,
                                   SampleGrabberCallBack& callBack) {
    if (sourceGraph) {
        seekToLiveEdge();
        return S_OK;
    }
    debug(L"SkyvanePlugin::createFileGraph");
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_ALL, IID_IGraphBuilder,
                                  reinterpret_cast<void**>(&sourceGraph));
    if (FAILED(hr)) {
        error(L"SkyvanePlugin::createFileGraph CoCreateInstance(CLSID_FilterGraph) failed %X", hr);
        return hr;
    }
    hr = CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_ALL, IID_ICaptureGraphBuilder2,
                          reinterpret_cast<void**>(&captureBuilder));
    if (FAILED(hr)) {
        error(L"CoCreateInstance(CLSID_CaptureGraphBuilder2) failed %X", hr);
        return hr;
    }
    hr = captureBuilder->SetFiltergraph(sourceGraph.Get());
    if (FAILED(hr)) {
        error(L"SetFiltergraph(pSourceGraph) failed %X", hr);
        return hr;
    }
    if (!bufferSource) {
        hr = CoCreateInstance(CLSID_StreamBufferSource, nullptr, CLSCTX_ALL, IID_IStreamBufferSource,
                              reinterpret_cast<void**>(&bufferSource));
        if (FAILED(hr)) {
            error(L"CoCreateInstance CLSID_StreamBufferSource failed %X", hr);
            return hr;
        }
        debug(L"CoCreateInstance CLSID_StreamBufferSource success %X", hr);
        // Without its settings the source still reads the buffer, with its defaults.
        HRESULT setup = setupTVBuffer(bufferSource.Get());
        if (FAILED(setup)) error(L"SkyvanePlugin setupTVBuffer Load %X", setup);
        ComPtr<IFileSourceFilter> fileSource;
        hr = bufferSource.As(&fileSource);
        if (FAILED(hr)) {
            error(L"SkyvanePlugin looking for IFileSourceFilter failed %X", hr);
            return hr;
        }
        hr = fileSource->Load(bufferPath.c_str(), nullptr);
        if (FAILED(hr)) {
            error(L"SkyvanePlugin pFileSource Load for %s failed %X", bufferPath.c_str(), hr);
            return hr;
        }
    }
    ComPtr<IBaseFilter> sourceFilter;
    hr = bufferSource.As(&sourceFilter);
    if (FAILED(hr)) {
        error(L"SkyvanePlugin looking for IBaseFilter failed %X", hr);
        return hr;
    }
    hr = sourceGraph->AddFilter(sourceFilter.Get(), L"SBESource");
    if (FAILED(hr)) {
        error(L"SkyvanePlugin AddSourceFilter failed %X", hr);
        return hr;
    }
    grabberSink.reset(new (std::nothrow) TVCtlGrabberSink(&callBack, &callBack));
    if (!grabberSink) {
        error(L"can't create GrabberSink object");
        return E_FAIL;
    }
    hr = grabberSink->addGrabber(captureBuilder.Get(), sourceFilter.Get(), raw);
    if (FAILED(hr)) {
        error(L"DSInputPlugin::createFileGraph addGrabber failed %X", hr);
        return hr;
    }
    // A failed seek leaves the graph at the buffer's start; the build stands.
    seekToLiveEdge();
    return hr;
}

HRESULT BufferReadBackGraph::setupTVBuffer(IStreamBufferSource* source) {
    HKEY key = nullptr;
    LONG opened = RegOpenKeyW(HKEY_CURRENT_USER, kStreamBufferKey, &key);
    if (opened != 0) return static_cast<HRESULT>(opened);
    ComPtr<IStreamBufferInitialize> init;
    HRESULT hr = source ? source->QueryInterface(IID_IStreamBufferInitialize, reinterpret_cast<void**>(&init))
                        : E_POINTER;
    debug(L"QueryInterface IStreamBufferInitialize returned %X", hr);
    if (SUCCEEDED(hr)) hr = init->SetHKEY(key);
    RegCloseKey(key);
    debug(L" pInit->SetHKEY  returned %X", hr);
    return hr;
}

HRESULT BufferReadBackGraph::seekToLiveEdge() {
    if (!bufferSource) return S_OK;
    ComPtr<IStreamBufferMediaSeeking> seeking;
    HRESULT hr = bufferSource.As(&seeking);
    if (FAILED(hr)) return hr;
    LONGLONG earliest = 0, latest = 0;
    hr = seeking->GetAvailable(&earliest, &latest);
    info(L"GetAvailable position hr %X start %lld end %lld", hr, static_cast<long long>(earliest),
         static_cast<long long>(latest));
    // Nothing written yet: the source stays at the start, which is the live edge too.
    if (SUCCEEDED(hr) && latest > 0) {
        hr =
            seeking->SetPositions(&latest, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
        info(L"SetPositions returned %X position %lld", hr, static_cast<long long>(latest));
    }
    return hr;
}

HRESULT BufferReadBackGraph::control(HRESULT (IMediaControl::*operation)()) {
    if (!sourceGraph) return E_FAIL;
    ComPtr<IMediaControl> mediaControl;
    HRESULT hr = sourceGraph.As(&mediaControl);
    if (FAILED(hr)) return hr;
    return (mediaControl.Get()->*operation)();
}

HRESULT BufferReadBackGraph::run() {
    return control(&IMediaControl::Run);
}

HRESULT BufferReadBackGraph::pause() {
    return control(&IMediaControl::Pause);
}

HRESULT BufferReadBackGraph::stop() {
    return control(&IMediaControl::Stop);
}

void BufferReadBackGraph::waitStopped() {
    if (!sourceGraph) return;
    ComPtr<IMediaControl> mediaControl;
    if (FAILED(sourceGraph.As(&mediaControl))) return;
    for (;;) {
        OAFilterState state = State_Stopped;
        // A state that cannot be read counts as stopped.
        if (FAILED(mediaControl->GetState(1, &state)) || state == State_Stopped) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

HRESULT BufferReadBackGraph::getCurrentPosition(REFERENCE_TIME& position) {
    if (!sourceGraph) return S_OK;
    ComPtr<IMediaSeeking> seeking;
    HRESULT hr = sourceGraph.As(&seeking);
    if (FAILED(hr)) return hr;
    LONGLONG current = 0;
    hr = seeking->GetCurrentPosition(&current);
    if (SUCCEEDED(hr)) position = current;
    return hr;
}

HRESULT BufferReadBackGraph::seek(REFERENCE_TIME position) {
    if (grabberSink) grabberSink->flush(position);
    if (!bufferSource) return S_OK;
    ComPtr<IStreamBufferMediaSeeking> seeking;
    HRESULT hr = bufferSource.As(&seeking);
    if (FAILED(hr)) return hr;
    LONGLONG target = position;
    hr = seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
    info(L"SetPositions returned %X position %lld", hr, static_cast<long long>(position));
    return hr;
}

bool BufferReadBackGraph::canSeekAbsolute() {
    if (!sourceGraph) return false;
    ComPtr<IMediaSeeking> seeking;
    if (FAILED(sourceGraph.As(&seeking))) return false;
    DWORD caps = AM_SEEKING_CanSeekAbsolute;
    return seeking->CheckCapabilities(&caps) == S_OK;
}

void BufferReadBackGraph::describe(pelmo::streamer::StreamDescription& description) {
    if (!grabberSink) return;
    CMediaType audio, video;
    grabberSink->currentAudioType(&audio);
    grabberSink->currentVideoType(&video);
    describeOutputStreams(audio, video, description);
}
