// The Video Control's and the stream buffer's interfaces in one translation unit. Both layers
// name the sink's class identifier (with the same value); the stream buffer's copy is renamed
// here so that the two headers can be included together.
#pragma once

#include "platform/vidctl/VidCtlInterfaces.h"

#define CLSID_MSVidStreamBufferSink CLSID_MSVidStreamBufferSink_StreamBufferLayer
#include "platform/sbe/SbeInterfaces.h"
#include "platform/sbe/StreamBufferSink.h"
#undef CLSID_MSVidStreamBufferSink
