// Running pelmo-streamer and looking at what it wrote, for the tool's end-to-end tests.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace pelmo::streamer::testing {

struct RunResult {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A whole file as text ("" when it cannot be read).
std::string readFile(const std::string& path);

// Runs a program with extra environment variables (an empty value unsets one).
RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});

struct Probe {
    bool ok = false;
    std::vector<std::string> codecs;  // per stream, in file order
    int width = 0;
    int height = 0;
    double duration = 0;
    std::string text;  // what ffprobe printed
};

bool haveFfprobe();
Probe ffprobe(const std::string& path);

// A mosquitto broker of one test's own (scripts/broker.sh), so that no other test's clients on a
// shared broker can answer its requests. port() is 0 when none could be started.
class PrivateBroker {
public:
    PrivateBroker();
    ~PrivateBroker();
    PrivateBroker(const PrivateBroker&) = delete;
    PrivateBroker& operator=(const PrivateBroker&) = delete;
    int port() const { return busPort; }
    const std::string& failure() const { return why; }

private:
    int busPort = 0;
    std::string pid;
    std::string why;
};

// The luma at the centre of every decoded video frame of a file, in display order.
std::vector<int> centreLumas(const std::string& path);

}  // namespace pelmo::streamer::testing
