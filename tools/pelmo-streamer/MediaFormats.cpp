#include "tools/pelmo-streamer/MediaFormats.h"

#include <cstdio>
#include <cstring>

namespace pelmo::streamer {

bool hasVideo(const SimpleStreamDescription& d) {
    const std::string& c = d.videoDescription.common.codecName;
    return !c.empty() && c != "none";
}

bool hasAudio(const SimpleStreamDescription& d) {
    const std::string& c = d.audioDescription.common.codecName;
    return !c.empty() && c != "none";
}

bool isRawVideo(const SimpleStreamDescription& d) {
    return d.videoDescription.common.codecName == "raw";
}

bool isRawAudio(const SimpleStreamDescription& d) {
    return d.audioDescription.common.codecName == "raw";
}

RawPicture rawPicture(const SimpleStreamDescription& d) {
    const SimpleVideoDescription& v = d.videoDescription;
    RawPicture p;
    int64_t pixels = int64_t{v.width} * v.height;
    switch (v.pixelFormat) {
        case 1:
            p.format = AV_PIX_FMT_BGR24;
            p.frameBytes = pixels * 3;
            break;
        case 3:
            p.format = AV_PIX_FMT_BGR0;
            p.frameBytes = pixels * 4;
            break;
        case 4:
            p.format = AV_PIX_FMT_YUV420P;
            p.frameBytes = pixels * 3 / 2;
            break;
        case 5:
            p.format = AV_PIX_FMT_YUYV422;
            p.frameBytes = pixels * 2;
            break;
        default:
            return p;
    }
    // RGB frames are stored bottom-up unless the plug-in says otherwise; YUV ones never are.
    p.bottomUp = (p.format == AV_PIX_FMT_BGR24 || p.format == AV_PIX_FMT_BGR0) && !v.topDown;
    if (v.width <= 0 || v.height <= 0) p.frameBytes = 0;
    return p;
}

AVCodecID sniffVideoCodec(const uint8_t* data, int size, const SimpleStreamDescription& d) {
    // A key frame of MPEG-2 carries a sequence header; one of H.264 a sequence parameter set.
    bool h264 = false;
    for (int i = 0; i + 3 < size; ++i) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
        uint8_t code = data[i + 3];
        if (code == 0xB3) return AV_CODEC_ID_MPEG2VIDEO;
        if ((code & 0x80) == 0 && (code & 0x1F) == 7 && (code & 0x60) != 0) h264 = true;
    }
    if (h264) return AV_CODEC_ID_H264;
    const std::string& c = d.videoDescription.common.codecName;
    if (c == "h264") return AV_CODEC_ID_H264;
    if (c == "mpeg1") return AV_CODEC_ID_MPEG1VIDEO;
    return AV_CODEC_ID_MPEG2VIDEO;
}

AVCodecID sniffAudioCodec(const uint8_t* data, int size, const SimpleStreamDescription& d) {
    if (size >= 2 && data[0] == 0x0B && data[1] == 0x77) return AV_CODEC_ID_AC3;
    const std::string& c = d.audioDescription.common.codecName;
    if (c == "ac3") return AV_CODEC_ID_AC3;
    if (c == "aac") return AV_CODEC_ID_AAC;
    if (c == "mp3") return AV_CODEC_ID_MP3;
    return AV_CODEC_ID_MP2;
}

namespace {

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    std::string s = buf;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s;
}

const char* pixelFormatName(int code) {
    switch (code) {
        case 1:
            return "RGB24";
        case 3:
            return "RGB32";
        case 4:
            return "IYUV";
        case 5:
            return "YUY2";
        default:
            return "unset";
    }
}

std::string jsonText(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

std::string describeText(const SimpleStreamDescription& d) {
    const SimpleVideoDescription& v = d.videoDescription;
    const SimpleAudioDescription& a = d.audioDescription;
    std::string out;
    if (hasVideo(d)) {
        out += "video: " + v.common.codecName + ", " + std::to_string(v.width) + "x" +
               std::to_string(v.height) + ", " + number(v.frameRate) + " fps, " +
               (v.interlaced ? "interlaced" : "progressive");
        if (v.aspectRatioX > 0 && v.aspectRatioY > 0)
            out += ", aspect " + std::to_string(v.aspectRatioX) + ":" + std::to_string(v.aspectRatioY);
        if (v.common.codecName == "raw")
            out += std::string(", pixels ") + pixelFormatName(v.pixelFormat) + (v.topDown ? " top-down" : "");
        if (v.common.bitRate > 0) out += ", " + number(v.common.bitRate / 1000.0) + " kbit/s";
        out += "\n";
    } else {
        out += "video: none described\n";
    }
    if (hasAudio(d)) {
        out += "audio: " + a.common.codecName + ", " + std::to_string(a.sampleRate) + " Hz, " +
               std::to_string(a.channels) + " channel" + (a.channels == 1 ? "" : "s") + ", " +
               std::to_string(a.bitsPerSample) + " bits";
        if (a.common.bitRate > 0) out += ", " + number(a.common.bitRate / 1000.0) + " kbit/s";
        out += "\n";
    } else {
        out += "audio: none described\n";
    }
    return out;
}

std::string describeJson(const SimpleStreamDescription& d) {
    const SimpleVideoDescription& v = d.videoDescription;
    const SimpleAudioDescription& a = d.audioDescription;
    std::string out = "{\"video\":";
    if (hasVideo(d)) {
        out += "{\"codec\":" + jsonText(v.common.codecName) + ",\"width\":" + std::to_string(v.width) +
               ",\"height\":" + std::to_string(v.height) + ",\"frameRate\":" + number(v.frameRate) +
               ",\"interlaced\":" + (v.interlaced ? "true" : "false") +
               ",\"aspectRatioX\":" + std::to_string(v.aspectRatioX) +
               ",\"aspectRatioY\":" + std::to_string(v.aspectRatioY) +
               ",\"pixelFormat\":" + std::to_string(v.pixelFormat) +
               ",\"topDown\":" + (v.topDown ? "true" : "false") +
               ",\"bitRate\":" + std::to_string(v.common.bitRate) + "}";
    } else {
        out += "null";
    }
    out += ",\"audio\":";
    if (hasAudio(d)) {
        out += "{\"codec\":" + jsonText(a.common.codecName) +
               ",\"sampleRate\":" + std::to_string(a.sampleRate) +
               ",\"channels\":" + std::to_string(a.channels) +
               ",\"bitsPerSample\":" + std::to_string(a.bitsPerSample) +
               ",\"bitRate\":" + std::to_string(a.common.bitRate) + "}";
    } else {
        out += "null";
    }
    return out + "}";
}

}  // namespace pelmo::streamer
