// How the host reads the plug-in's stream description and packets in libav terms.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/pixfmt.h>
}

#include "host/SimpleStreamDescription.h"

namespace pelmo::streamer {

// A picture layout of raw frames: the libav pixel format and whether rows run bottom-up.
struct RawPicture {
    AVPixelFormat format = AV_PIX_FMT_NONE;
    bool bottomUp = false;
    // Bytes of one frame, 0 when the layout is unknown.
    int64_t frameBytes = 0;
};

bool hasVideo(const SimpleStreamDescription& d);
bool hasAudio(const SimpleStreamDescription& d);
bool isRawVideo(const SimpleStreamDescription& d);
bool isRawAudio(const SimpleStreamDescription& d);

// From the description's pixel format code (1 RGB24, 3 RGB32, 4 IYUV, 5 YUY2) and orientation.
RawPicture rawPicture(const SimpleStreamDescription& d);

// A compressed video packet's codec, from its start codes; the description's codec otherwise.
AVCodecID sniffVideoCodec(const uint8_t* data, int size, const SimpleStreamDescription& d);
// A compressed audio packet's codec: AC-3 by its sync word, else by the description.
AVCodecID sniffAudioCodec(const uint8_t* data, int size, const SimpleStreamDescription& d);

// The description as readable lines (the describe command's text).
std::string describeText(const SimpleStreamDescription& d);
// The description as one JSON object.
std::string describeJson(const SimpleStreamDescription& d);

}  // namespace pelmo::streamer
