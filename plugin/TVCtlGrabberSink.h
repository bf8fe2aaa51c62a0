// The grabber sink of the read-back graph: connects a source's video and audio outputs to
// the grabbers (through decoders in raw mode) and hands the samples to the plug-in.
#pragma once

#include "plugin/GrabberSink.h"

class TVCtlGrabberSink : public GrabberSink {
public:
    using GrabberSink::GrabberSink;

    HRESULT addGrabber(ICaptureGraphBuilder2* captureBuilder, IBaseFilter* source, bool raw);
};
