// The plug-in object the host drives. It owns the TV control object that captures the tuner
// into a time-shift buffer, the read-back graph whose grabbers hand samples back through
// sampleCallBack, and the packet queue between those streaming threads and the host's reader.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "host/InputPluginInterface.h"
#include "host/SimpleSamplePacket.h"
#include "plugin/FormatChangeHandler.h"
#include "plugin/PQueueCondMutex.h"
#include "plugin/ReadBackGraph.h"
#include "plugin/SampleGrabberCallBack.h"
#include "plugin/TVControl.h"

class CBBLog;

// Stream ids of the two grabbers.
enum GrabberStreamId : LONG { kAudioStream = 0, kVideoStream = 1 };

// Where the plug-in gets its TV control object and read-back graph from. An empty factory
// means that part is not available: an open then fails.
struct SkyvaneParts {
    TVControlFactory createTVControl;
    ReadBackGraphFactory createReadBackGraph;
};

class SkyvanePlugin : public pelmo::streamer::InputPluginInterface,
                      public SampleGrabberCallBack,
                      public FormatChangeHandler {
public:
    static constexpr const char* kOpenFailure = "TV Control input: This device is in use or not supported";

    // Creates the plug-in's log and reads "OutputRaw".
    explicit SkyvanePlugin(SkyvaneParts parts);
    ~SkyvanePlugin() override;
    SkyvanePlugin(const SkyvanePlugin&) = delete;
    SkyvanePlugin& operator=(const SkyvanePlugin&) = delete;

    // InputStream
    void getOutputStreamDescription(pelmo::streamer::StreamDescription& description) override;
    bool readFrame(int& type, uint8_t*& data, int& size, int64_t& timestamp, int64_t& duration,
                   pelmo::streamer::SamplePacket*& packet, bool& syncPoint) override;
    void releaseFrame(int32_t reserved, pelmo::streamer::SamplePacket* packet) override;

    // InputPluginInterface
    bool open(pelmo::streamer::Medium& medium, pelmo::streamer::ErrorReport& report) override;
    bool updateMedium(pelmo::streamer::Medium& medium, pelmo::streamer::ErrorReport& report) override;
    bool close() override;
    bool start() override;
    bool stop() override;
    bool pause() override;
    bool resume() override;
    int getPosition(int64_t& milliseconds) override;
    int setPosition(int64_t milliseconds) override;
    int setPlaybackRate(int32_t numerator, int32_t denominator) override;
    int selectTrack(int32_t kind, int32_t index) override;
    bool isLive() override;
    void describeMedium(pelmo::streamer::Medium& medium) override;
    void setUserData(intptr_t data) override;
    bool isFileBased() override;
    bool hasDuration() override;
    bool setOption(intptr_t option) override;
    bool getViewport(intptr_t x, intptr_t y, intptr_t width, intptr_t height) override;
    void notify(intptr_t event, intptr_t value) override;

    // SampleGrabberCallBack
    int sampleCallBack(BYTE* data, ULONG sizeLow, ULONG sizeHigh, REFERENCE_TIME* start, REFERENCE_TIME* end,
                       int typeChanged, int syncPoint, LONG streamId) override;
    int endOfStream(LONG streamId) override;

    // FormatChangeHandler
    LONG suspendDelivery() override;
    LONG resumeDelivery() override;
    LONG formatChanging() override;
    LONG formatChanged() override;

    // True when the read-back graph can seek to an absolute position.
    virtual bool canSeek();

    // Stops the read-back graph, waits for it, and releases every queued packet.
    LONG emptyDataQueue();
    // Empties the queue and leaves one end marker in it; -1 when the marker cannot be made.
    LONG pushEndMarker();

    int32_t getOutputRaw() const { return outputRaw; }
    const std::wstring& getMediaType() const { return mediaType; }
    const std::wstring& getDeviceName() const { return deviceName; }
    const std::wstring& getRecordingPath() const { return recordingPath; }
    const std::wstring& getBufferPath() const { return bufferPath; }
    size_t queuedPackets();

    // The recording file for the "recording" property: its extension (from the last '.')
    // becomes ".dvr-ms" wherever that text occurs, or ".dvr-ms" is appended.
    static std::wstring recordingFileFor(const std::wstring& requested);
    // Queue warnings logged by every plug-in object of the process; they stop at 100.
    static int32_t queueWarningCount();

protected:
    // Seams for tests that need one exact interleaving of the streaming and reading threads.
    // Called once a sample is queued and the queue lock released.
    virtual void sampleQueued() {}
    // Called by readFrame with the queue lock held, just before it waits on an empty queue.
    virtual void readerWaiting() {}
    // Wakes one waiting reader; called with the queue lock held.
    virtual void wakeReader() { packetQueue.signal(); }

private:
    HRESULT openDevice(const std::wstring& path, const std::wstring& recording);
    HRESULT openTunerPath(const std::wstring& path);
    HRESULT closeDevice();
    void tearDownSourceGraph();
    // Stops the read-back graph and the TV control, keeping both for a restart.
    void haltCapture();
    HRESULT createFileGraph();
    // 1 when the TV control (and the read-back graph unless recording) runs, else 0.
    int startDevice();
    // Runs one control operation on the read-back graph, E_FAIL without one; failures are logged.
    HRESULT controlGraph(HRESULT (ReadBackGraph::*operation)(), const wchar_t* failure);
    HRESULT runGraph();
    HRESULT pauseGraph();
    HRESULT stopGraph();
    void waitGraphStopped();
    void wakeReaders();

    std::unique_ptr<ReadBackGraph> sourceGraph;
    PQueueCondMutex<pelmo::streamer::SimpleSamplePacket*> packetQueue;
    std::unique_ptr<TVControl> tvControl;
    std::wstring bufferPath;
    std::wstring mediaType;
    std::wstring deviceName;
    std::wstring recordingPath;
    // Written without the queue lock by the control and TV control threads, read by the
    // streaming and reading threads.
    std::atomic<bool> discarding{false};
    std::atomic<bool> delivering{false};
    // mediaType as the streaming threads see it, so they never read the text being replaced.
    std::atomic<bool> analogMedia{false};
    // Set while a tuner path is opened: its channel is not checked for reception.
    bool openingTuner = false;
    int32_t outputRaw = 1;
    std::shared_ptr<CBBLog> log;
    SkyvaneParts parts;
};
