// The host's side of a channel scan on the message bus: it serves "TVScanCallback" and
// "TVScanResult", which the plug-in's TV control sends to every listener, and asks for the scan
// with "StartTVScan".
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hux/HuxSatellite.h"

namespace pelmo::streamer {

struct ScanChannel {
    std::string name;
    std::string path;
    std::string frequency;
    int signal = 0;
};

struct ScanProgress {
    int current = 0;
    int total = 0;
    std::string name;
    std::string path;
    int signal = 0;
};

class ScanClient : public HuxSatellite {
public:
    // deviceName: the tuner path the scan was opened with; results of other scans are ignored.
    explicit ScanClient(std::string deviceName);
    ~ScanClient() override;

    HRESULT DeclareServices() override;

    // Called on the bus thread for each progress message.
    std::function<void(const ScanProgress&)> onProgress;

    // Waits for the result until the deadline; true once it is there.
    bool waitResult(std::chrono::steady_clock::time_point deadline);
    // When the scan was last heard of (progress or result); the client's creation at first.
    std::chrono::steady_clock::time_point lastHeardAt();
    std::vector<ScanChannel> channels();
    // Malformed messages seen (they are ignored).
    int malformed();

    // Decoders of the two messages' arguments; false for arguments of another shape.
    static bool readProgress(const VARIANT& args, ScanProgress& out);
    static bool readResult(const VARIANT& args, std::string& device, std::vector<ScanChannel>& out);

private:
    HRESULT progress(const std::wstring& service, VARIANT& args, VARIANT* reply);
    HRESULT result(const std::wstring& service, VARIANT& args, VARIANT* reply);

    const std::string device;
    std::mutex lock;
    std::condition_variable heard;
    std::chrono::steady_clock::time_point lastHeard;
    bool done = false;
    int badMessages = 0;
    std::vector<ScanChannel> found;
};

}  // namespace pelmo::streamer
