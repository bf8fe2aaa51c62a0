#include "tools/pelmo-streamer/StreamerTestSupport.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace pelmo::streamer::testing {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    RunResult r;
    char outName[] = "/tmp/streamer_out.XXXXXX";
    char errName[] = "/tmp/streamer_err.XXXXXX";
    int out = mkstemp(outName), err = mkstemp(errName);
    pid_t pid = fork();
    if (pid == 0) {
        for (const auto& [name, value] : env) {
            if (value.empty())
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), value.c_str(), 1);
        }
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(out);
    close(err);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readFile(outName);
    r.err = readFile(errName);
    unlink(outName);
    unlink(errName);
    return r;
}

PrivateBroker::PrivateBroker() {
    RunResult r = run({"bash", std::string(SKYVANE_SOURCE_DIR) + "/scripts/broker.sh", "start"});
    // Prints: export PELMO_BUS_PORT=N; BROKER_PID=M
    size_t p = r.out.find("PELMO_BUS_PORT="), q = r.out.find("BROKER_PID=");
    if (r.status != 0 || p == std::string::npos || q == std::string::npos) {
        why = "no broker could be started: " + r.err;
        return;
    }
    busPort = std::atoi(r.out.c_str() + p + 15);
    pid = std::to_string(std::atoi(r.out.c_str() + q + 11));
}

PrivateBroker::~PrivateBroker() {
    if (!pid.empty() && pid != "0")
        run({"bash", std::string(SKYVANE_SOURCE_DIR) + "/scripts/broker.sh", "stop", pid});
}

bool haveFfprobe() {
    return run({"ffprobe", "-version"}).status == 0;
}

Probe ffprobe(const std::string& path) {
    Probe p;
    RunResult r = run({"ffprobe", "-v", "error", "-show_entries",
                       "stream=index,codec_name,width,height:format=duration", "-of", "default=nw=1", path});
    p.text = r.out + r.err;
    if (r.status != 0) return p;
    std::istringstream lines(r.out);
    std::string line;
    // A transport stream's programs list their streams again, under the same index.
    std::vector<std::string> seen;
    bool repeat = false;
    while (std::getline(lines, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "index") {
            repeat = std::find(seen.begin(), seen.end(), value) != seen.end();
            seen.push_back(value);
        }
        if (key == "duration" && value != "N/A") p.duration = std::atof(value.c_str());
        if (repeat) continue;
        if (key == "codec_name") p.codecs.push_back(value);
        if (key == "width" && value != "N/A") p.width = std::atoi(value.c_str());
        if (key == "height" && value != "N/A") p.height = std::atoi(value.c_str());
    }
    p.ok = true;
    return p;
}

std::vector<int> centreLumas(const std::string& path) {
    std::vector<int> lumas;
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return lumas;
    avformat_find_stream_info(in, nullptr);
    int index = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
        avformat_close_input(&in);
        return lumas;
    }
    const AVCodec* codec = avcodec_find_decoder(in->streams[index]->codecpar->codec_id);
    AVCodecContext* dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec, in->streams[index]->codecpar);
    avcodec_open2(dec, codec, nullptr);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&] {
        while (avcodec_receive_frame(dec, frame) == 0) {
            lumas.push_back(frame->data[0][(frame->height / 2) * frame->linesize[0] + frame->width / 2]);
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(in, pkt) >= 0) {
        if (pkt->stream_index == index && avcodec_send_packet(dec, pkt) >= 0) drain();
        av_packet_unref(pkt);
    }
    avcodec_send_packet(dec, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&in);
    return lumas;
}

}  // namespace pelmo::streamer::testing
