#include "plugin/TVCtlGrabberSink.h"

#include "base/Log.h"

HRESULT TVCtlGrabberSink::addGrabber(ICaptureGraphBuilder2* captureBuilder, IBaseFilter* source, bool raw) {
    if (!captureBuilder || !source) return E_POINTER;
    ComPtr<IGraphBuilder> graph;
    HRESULT hr = captureBuilder->GetFiltergraph(&graph);
    if (FAILED(hr)) {
        error(L"GrabberSink::addGrabber GetFiltergraph failed %X", hr);
        return hr;
    }
    hr = addFilters(graph.Get(), raw);
    if (FAILED(hr)) {
        error(L"GrabberSink::addGrabber addFilters failed %X", hr);
        return hr;
    }
    bindCallBacks(nullptr, false);

    // A multiplexed stream output is preferred over an elementary video output.
    const GUID* videoMajor = &MEDIATYPE_Stream;
    ComPtr<IPin> pin;
    hr = captureBuilder->FindPin(source, PINDIR_OUTPUT, nullptr, &MEDIATYPE_Stream, TRUE_, 0, &pin);
    if (FAILED(hr)) {
        videoMajor = &MEDIATYPE_Video;
        hr = captureBuilder->FindPin(source, PINDIR_OUTPUT, nullptr, &MEDIATYPE_Video, TRUE_, 0, &pin);
        if (FAILED(hr)) {
            warn(L"source filter does not have video pin %X", hr);
            return hr;
        }
    }
    hr = captureBuilder->RenderStream(nullptr, videoMajor, source, videoGrabber.Get(),
                                      nullVideoRenderer.Get());
    if (FAILED(hr)) warn(L"can't connect video pins between interface and grabber %X", hr);
    hr = captureBuilder->RenderStream(nullptr, &MEDIATYPE_Audio, source, audioGrabber.Get(),
                                      nullAudioRenderer.Get());
    if (FAILED(hr)) warn(L"can't connect audio pins between interface and grabber %X", hr);

    if (raw) {
        hr = startNStop(captureBuilder, raw);
        if (FAILED(hr)) {
            error(L"GrabberSink::addGrabber startNStop failed %X", hr);
            return hr;
        }
    }
    bindCallBacks(nullptr, true);
    readConnectedTypes(nullptr);
    return S_OK;
}
