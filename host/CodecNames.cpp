#include "host/CodecNames.h"

#include <cstring>
#include <iterator>

namespace pelmo::streamer {
namespace {

const char* const kVideoCodecs[] = {"none", "raw",  "mpeg1", "mpeg2", "mpeg4", "flv",  "vp6",  "vp6f", "svq",
                                    "h263", "h264", "wmv",   "wmv7",  "wmv8",  "wmv9", "divx", "mjpeg"};
const char* const kAudioCodecs[] = {"none", "raw",    "mp2",    "mp3", "nellymoser", "ac3", "aac",
                                    "amr",  "amr_nb", "amr_wb", "wma", "wma7",       "wma8"};

template <size_t N>
const char* nameAt(const char* const (&table)[N], int index) {
    return index >= 0 && static_cast<size_t>(index) < N ? table[index] : nullptr;
}

template <size_t N>
int indexOf(const char* const (&table)[N], const char* name) {
    if (name == nullptr) {
        return -1;
    }
    for (size_t i = 0; i < N; ++i) {
        if (std::strcmp(table[i], name) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace

const char* videoCodecName(int index) {
    return nameAt(kVideoCodecs, index);
}
const char* audioCodecName(int index) {
    return nameAt(kAudioCodecs, index);
}
int videoCodecIndex(const char* name) {
    return indexOf(kVideoCodecs, name);
}
int audioCodecIndex(const char* name) {
    return indexOf(kAudioCodecs, name);
}

}  // namespace pelmo::streamer
