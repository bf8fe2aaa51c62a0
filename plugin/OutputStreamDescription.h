// Describes the two streams the plug-in delivers from the media types its grabbers were
// connected with: codec names from the host's table, picture and sound settings, bit rates.
#pragma once

#include "host/StreamDescription.h"
#include "platform/graph/MediaTypes.h"

// Fills only what the types tell: a stream whose type is not video (or audio), or whose format
// block is missing or too short, leaves its fields at the host's defaults.
void describeOutputStreams(const AM_MEDIA_TYPE& audio, const AM_MEDIA_TYPE& video,
                           pelmo::streamer::StreamDescription& description);
