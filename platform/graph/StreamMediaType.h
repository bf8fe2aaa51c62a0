// The media type under which a compressed elementary stream read with libavformat travels
// through the graph (MPEG-2 or H.264 video, MPEG or AC-3 audio).
#pragma once

#include "platform/graph/MediaTypes.h"

struct AVStream;

// False for streams the graph cannot carry (other codecs, no picture size or sample rate).
bool CompressedMediaTypeOfStream(const AVStream* st, CMediaType* mt);
