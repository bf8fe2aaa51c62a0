#include "tools/pelmo-streamer/PluginHost.h"

#include <dlfcn.h>

#include <chrono>

namespace pelmo::streamer {
namespace {

// How often a parked reader is woken again: a stop() that came before the reader began to wait
// is lost, so it is repeated until the reader has left readFrame.
constexpr auto kWakeRetry = std::chrono::milliseconds(50);
// A readFrame that answers without a packet (delivery stopped) is asked again after this.
constexpr auto kIdleRetry = std::chrono::milliseconds(20);

std::string openFailure(const SimpleErrorReport& report) {
    std::string text = report.getMessage().empty() ? "the plug-in refused it" : report.getMessage();
    return text + " (code " + std::to_string(report.getCode()) + ")";
}

}  // namespace

PluginHost::~PluginHost() {
    finish();
    delete object;
    // The module stays loaded: its process-wide objects may still be in use by its threads.
}

bool PluginHost::load(const std::string& modulePath, std::string& error) {
    module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* why = dlerror();
        error = "cannot load the plug-in module " + modulePath + ": " + (why ? why : "unknown error");
        return false;
    }
    auto factory = reinterpret_cast<InputPluginFactoryFunction>(dlsym(module, "InputPluginFactory"));
    if (factory == nullptr) {
        error = modulePath + " is not an input plug-in: it has no InputPluginFactory";
        return false;
    }
    object = factory();
    if (object == nullptr) {
        error = "InputPluginFactory of " + modulePath + " made no plug-in object (out of memory?)";
        return false;
    }
    return true;
}

bool PluginHost::open(const std::string& path, const std::map<std::string, std::string>& properties,
                      std::string& error) {
    medium = SimpleMedium(path);
    for (const auto& [key, value] : properties) medium.setProperty(key.c_str(), value.c_str());
    SimpleErrorReport report;
    // From here on close() has something to tear down, even when the open fails.
    opened = true;
    if (!object->open(medium, report)) {
        error = openFailure(report);
        return false;
    }
    object->describeMedium(medium);
    return true;
}

void PluginHost::describe(SimpleStreamDescription& description) {
    object->getOutputStreamDescription(description);
}

const char* PluginHost::mediumProperty(const char* key) {
    const PropertyMap* map = medium.getProperties();
    return map != nullptr ? map->get(key) : nullptr;
}

bool PluginHost::start() {
    return object->start();
}

void PluginHost::startReading(PacketSink& sink) {
    reader = std::thread([this, &sink] { readLoop(sink); });
}

void PluginHost::readLoop(PacketSink& sink) {
    for (;;) {
        bool fresh = false;
        {
            std::unique_lock<std::mutex> l(lock);
            changed.wait(l, [this] { return quit || !gateClosed; });
            if (quit) return;
            inRead = true;
            fresh = newTimeline;
            newTimeline = false;
        }
        if (fresh) sink.discontinuity();
        if (beforeRead) beforeRead();
        int type = kPacketNone, size = 0;
        uint8_t* data = nullptr;
        int64_t timestamp = 0, duration = 0;
        SamplePacket* packet = nullptr;
        bool syncPoint = false;
        object->readFrame(type, data, size, timestamp, duration, packet, syncPoint);
        {
            std::lock_guard<std::mutex> l(lock);
            inRead = false;
        }
        changed.notify_all();
        if (packet == nullptr) {
            std::unique_lock<std::mutex> l(lock);
            changed.wait_for(l, kIdleRetry, [this] { return quit || gateClosed; });
            continue;
        }
        if (type == kPacketEndMarker)
            sink.discontinuity();
        else if (type == kPacketAudio || type == kPacketVideo)
            sink.packet(*packet);
        object->releaseFrame(0, packet);
    }
}

void PluginHost::parkReader() {
    std::unique_lock<std::mutex> l(lock);
    gateClosed = true;
    while (inRead) {
        l.unlock();
        // stop() broadcasts the packet queue's condition: the one way to wake a waiting reader.
        object->stop();
        l.lock();
        changed.wait_for(l, kWakeRetry, [this] { return !inRead; });
    }
}

void PluginHost::releaseReader() {
    {
        std::lock_guard<std::mutex> l(lock);
        gateClosed = false;
        newTimeline = true;
    }
    changed.notify_all();
}

bool PluginHost::zap(const std::string& path, std::string& error) {
    parkReader();
    SimpleMedium next(path);
    SimpleErrorReport report;
    bool ok = object->updateMedium(next, report);
    if (!ok) {
        error = openFailure(report);
    } else {
        medium = next;
        object->describeMedium(medium);
        if (!object->start()) {
            error = "the plug-in did not start delivering after the channel change";
            ok = false;
        }
    }
    releaseReader();
    return ok;
}

bool PluginHost::rewind(int64_t milliseconds, std::string& error) {
    parkReader();
    int64_t now = 0;
    bool ok = false;
    if (object->getPosition(now) != kPluginOk) {
        error = "the plug-in cannot tell its current position";
    } else {
        int64_t target = now > milliseconds ? now - milliseconds : 0;
        if (object->setPosition(target) != kPluginOk)
            error = "the plug-in could not seek to " + std::to_string(target) + " ms";
        else if (!object->start())
            error = "the plug-in did not start delivering after the seek";
        else
            ok = true;
    }
    if (!ok) object->start();
    releaseReader();
    return ok;
}

void PluginHost::finish() {
    if (reader.joinable()) {
        std::unique_lock<std::mutex> l(lock);
        quit = true;
        changed.notify_all();
        while (inRead) {
            l.unlock();
            object->stop();
            l.lock();
            changed.wait_for(l, kWakeRetry, [this] { return !inRead; });
        }
        l.unlock();
        reader.join();
    }
    if (object != nullptr && opened) {
        object->stop();
        object->close();
        opened = false;
    }
}

}  // namespace pelmo::streamer
