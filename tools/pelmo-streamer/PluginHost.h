// Loads an input plug-in module and drives its object the way a streaming server does: one
// control thread for open/start/stop/close and the medium changes, one reading thread that pulls
// packets with readFrame.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "host/InputPluginInterface.h"
#include "host/SimpleMedium.h"
#include "host/SimpleStreamDescription.h"

namespace pelmo::streamer {

// What the reading thread hands on: every packet, in the order readFrame gave them.
class PacketSink {
public:
    virtual ~PacketSink() = default;
    // The plug-in's own packet; valid until the call returns.
    virtual void packet(SamplePacket& packet) = 0;
    // The packets that follow belong to a new timeline (a medium change or a seek).
    virtual void discontinuity() = 0;
};

class PluginHost {
public:
    PluginHost() = default;
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // dlopen + InputPluginFactory. False with a reason in error.
    bool load(const std::string& modulePath, std::string& error);
    // Opens a path; properties (e.g. "recording") go on the medium. On failure error holds the
    // plug-in's own text and code.
    bool open(const std::string& path, const std::map<std::string, std::string>& properties,
              std::string& error);
    void describe(SimpleStreamDescription& description);
    // What the plug-in stored on the medium after the open (describeMedium).
    const char* mediumProperty(const char* key);
    bool start();

    // Starts the reading thread; it runs until finish().
    void startReading(PacketSink& sink);
    // Changes the channel while the reader runs. A reader waiting in readFrame is woken through
    // stop() first: a medium change alone leaves it asleep until the next stop.
    bool zap(const std::string& path, std::string& error);
    // Seeks the given milliseconds back from the current position while the reader runs.
    bool rewind(int64_t milliseconds, std::string& error);
    // Stops delivery, ends the reading thread and closes the plug-in. Safe to call twice.
    void finish();

    InputPluginInterface* plugin() { return object; }

    // Called by the reading thread just before each readFrame (tests latch on it).
    std::function<void()> beforeRead;

private:
    // Keeps the reader out of readFrame: wakes it with stop() until it has left.
    void parkReader();
    void releaseReader();
    void readLoop(PacketSink& sink);

    void* module = nullptr;
    InputPluginInterface* object = nullptr;
    SimpleMedium medium;
    bool opened = false;

    std::mutex lock;
    std::condition_variable changed;
    bool gateClosed = false;
    bool inRead = false;
    bool quit = false;
    bool newTimeline = false;
    std::thread reader;
};

}  // namespace pelmo::streamer
