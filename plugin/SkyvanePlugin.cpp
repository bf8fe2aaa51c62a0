#include "plugin/SkyvanePlugin.h"

#include <cstdlib>
#include <new>

#include "base/CBBLog.h"
#include "base/CRegistry.h"
#include "base/FrameBufferPool.h"
#include "base/Log.h"
#include "base/PMutexLocker.h"
#include "base/Text.h"
#include "plugin/DevicePath.h"
#include "plugin/FramePacket.h"
#include "tuning/MediaType.h"

using pelmo::streamer::SamplePacket;
using pelmo::streamer::SimpleSamplePacket;

namespace {

// Shared by the two queue warnings of every plug-in object, for the life of the process.
std::atomic<int32_t> queueWarnings{0};
constexpr int32_t kMaxQueueWarnings = 100;
// With raw output a sample is dropped once this many packets wait (more than 30).
constexpr size_t kRawQueueLimit = 30;

constexpr const wchar_t* kLogFile = L"Skyvane.log";
constexpr int64_t kLogMaxSize = 0x80000;
constexpr const wchar_t* kSettingsKey = L"Software\\Kelvarin\\Pelmo\\PelmoTV";

bool takeQueueWarning() {
    int32_t n = queueWarnings.load();
    while (n < kMaxQueueWarnings) {
        if (queueWarnings.compare_exchange_weak(n, n + 1)) {
            return true;
        }
    }
    return false;
}

}  // namespace

SkyvanePlugin::SkyvanePlugin(SkyvaneParts parts) : parts(std::move(parts)) {
    log = std::make_shared<CBBLog>(kLogFile, false, kLogMaxSize);
    setCurrentLogger(log);
    int32_t value = 0;
    if (readRegistryDWORD(kSettingsKey, L"OutputRaw", value)) {
        outputRaw = value;
    }
}

SkyvanePlugin::~SkyvanePlugin() {
    info(L"SkyvanePlugin::~SkyvanePlugin");
    closeDevice();
    {
        // The graph is gone, so no streaming thread pushes any more: what the host never read
        // is released here rather than leaked.
        PMutexLocker lock(packetQueue);
        while (!packetQueue.empty()) {
            packetQueue.front()->release();
            packetQueue.pop();
        }
    }
    // Logging goes on only while a plug-in object lives; another one may have taken over.
    if (getCurrentLogger() == log) {
        setCurrentLogger(nullptr);
    }
}

int32_t SkyvanePlugin::queueWarningCount() {
    return queueWarnings.load();
}

size_t SkyvanePlugin::queuedPackets() {
    PMutexLocker lock(packetQueue);
    return packetQueue.size();
}

// ---- InputStream -------------------------------------------------------------------------

void SkyvanePlugin::getOutputStreamDescription(pelmo::streamer::StreamDescription& description) {
    debug(L"SkyvanePlugin::getOutputStreamDescription() called");
    if (!recordingPath.empty()) {
        return;
    }
    if (sourceGraph) {
        sourceGraph->describe(description);
    }
    debug(L"SkyvanePlugin::getOutputStreamDescription() returned");
}

bool SkyvanePlugin::readFrame(int& type, uint8_t*& data, int& size, int64_t& timestamp, int64_t& duration,
                              SamplePacket*& packet, bool& syncPoint) {
    SimpleSamplePacket* p = nullptr;
    {
        PMutexLocker lock(packetQueue);
        // One wait only: a wake-up by stop or close must reach the host as "no frame".
        if (packetQueue.empty()) {
            readerWaiting();
            packetQueue.wait();
        }
        if (delivering.load() && !packetQueue.empty()) {
            p = packetQueue.front();
            packetQueue.pop();
        }
    }
    // The packet is the reader's alone once popped: it is read after the unlock, so the
    // streaming threads never wait while its fields come in from another core's cache.
    if (p == nullptr) {
        debug(L"read frame waked up");
        type = pelmo::streamer::kPacketNone;
        data = nullptr;
        size = 0;
        timestamp = 0;
        duration = 0;
        packet = nullptr;
        syncPoint = false;
        return true;
    }
    type = p->getType();
    data = p->getData();
    size = p->getSize();
    timestamp = p->getTimestamp();
    duration = p->getDuration();
    syncPoint = p->isSyncPoint();
    packet = p;
    return true;
}

void SkyvanePlugin::releaseFrame(int32_t, SamplePacket* packet) {
    if (packet != nullptr) {
        packet->release();
    }
}

// ---- Opening and closing -----------------------------------------------------------------

std::wstring SkyvanePlugin::recordingFileFor(const std::wstring& requested) {
    static const std::wstring kExtension = L".dvr-ms";
    size_t dot = requested.rfind(L'.');
    if (dot == std::wstring::npos) {
        return requested + kExtension;
    }
    const std::wstring old = requested.substr(dot);
    std::wstring out;
    size_t pos = 0;
    for (size_t found; (found = requested.find(old, pos)) != std::wstring::npos; pos = found + old.size()) {
        out.append(requested, pos, found - pos);
        out += kExtension;
    }
    out.append(requested, pos, std::wstring::npos);
    return out;
}

bool SkyvanePlugin::open(pelmo::streamer::Medium& medium, pelmo::streamer::ErrorReport& report) {
    recordingPath.clear();
    const char* rawPath = medium.getPath();
    std::wstring path = rawPath != nullptr ? NarrowToWide(rawPath) : std::wstring();
    HRESULT result;
    if (DevicePath::isTunerPath(path)) {
        result = openTunerPath(path);
    } else {
        const pelmo::streamer::PropertyMap* properties = medium.getProperties();
        const char* recording = properties != nullptr ? properties->get("recording") : nullptr;
        if (recording != nullptr) {
            info(L"we are in recording mode");
            recordingPath = recordingFileFor(NarrowToWide(recording));
        }
        result = openDevice(path, recordingPath);
    }
    if (result == 0) {
        return true;
    }
    // The host gets one text for every failure; the reason is in the log.
    report.setCode(-1);
    report.setMessage(kOpenFailure);
    return false;
}

HRESULT SkyvanePlugin::openTunerPath(const std::wstring& path) {
    deviceName = path;
    std::wstring channelPath;
    HRESULT hr = DevicePath::channelPathForTuner(path, channelPath);
    if (FAILED(hr)) {
        return hr;
    }
    // A tuner is opened to be scanned: its default channel may carry nothing at all.
    openingTuner = true;
    hr = openDevice(channelPath, std::wstring());
    openingTuner = false;
    return hr;
}

HRESULT SkyvanePlugin::openDevice(const std::wstring& path, const std::wstring& recording) {
    info(L"SkyvanePlugin::openDevice  %s", path.c_str());
    std::wstring medium;
    const bool hasMedium = DevicePath::readChannelPath(path, mediaType, medium);
    analogMedia = mediaType == kMediaTypeAnalog;
    if (mediaType == kMediaTypeWebcam) {
        error(L"Webcams are not supported by Skyvane");
        return -1;
    }
    if (!hasMedium) {
        warn(L"SkyvanePlugin::openDevice no channel in path %s", path.c_str());
        return E_FAIL;
    }

    HRESULT hr;
    if (!tvControl) {
        if (parts.createTVControl) {
            try {
                tvControl = parts.createTVControl(mediaType, deviceName, *this);
            } catch (const std::bad_alloc&) {
                tvControl.reset();
            }
        }
        if (!tvControl) {
            info(L"SkyvanePlugin::openDevice  can't create TVCtl");
            return E_FAIL;
        }
        hr = tvControl->StartTimeShift(medium, bufferPath);
        if (SUCCEEDED(hr) && !openingTuner) hr = tvControl->checkReception(medium);
        if (FAILED(hr)) {
            error(L"SkyvanePlugin::openDevice startTimeShift return's for channel %s is %X", medium.c_str(),
                  hr);
            return hr;
        }
        if (!recording.empty()) {
            // A recording goes to its file only: no read-back graph.
            return tvControl->CreateRecording(recording);
        }
    } else {
        hr = tvControl->setTVChannel(medium);
        if (FAILED(hr)) {
            warn(L"setTVChannel for channel %s failed ret is %X", medium.c_str(), hr);
        }
        hr = tvControl->runTVControl();
        if (SUCCEEDED(hr) && !openingTuner) hr = tvControl->checkReception(medium);
        if (FAILED(hr)) {
            error(L"SkyvanePlugin::openDevice startTimeShift return's for channel %s is %X", medium.c_str(),
                  hr);
            return hr;
        }
    }
    if (!sourceGraph) {
        hr = createFileGraph();
        info(L"openDevice ret is %X", hr);
        return FAILED(hr) ? hr : 0;
    }
    return 0;
}

HRESULT SkyvanePlugin::createFileGraph() {
    if (!sourceGraph) {
        if (parts.createReadBackGraph) {
            try {
                sourceGraph = parts.createReadBackGraph();
            } catch (const std::bad_alloc&) {
                sourceGraph.reset();
            }
        }
        if (!sourceGraph) {
            error(L"SkyvanePlugin::createFileGraph CoCreateInstance(CLSID_FilterGraph) failed %X", E_FAIL);
            return E_FAIL;
        }
    }
    // A graph that exists is only seeked again. One whose build failed part-way goes at once:
    // kept, the next open would find it and deliver nothing from it.
    HRESULT hr = sourceGraph->build(bufferPath, outputRaw != 0, *this);
    if (FAILED(hr)) {
        warn(L"SkyvanePlugin::createFileGraph build failed %X: the graph is torn down", hr);
        sourceGraph.reset();
    }
    return hr;
}

bool SkyvanePlugin::updateMedium(pelmo::streamer::Medium& medium, pelmo::streamer::ErrorReport& report) {
    warn(L"SkyvanePlugin::updateMedium");
    // An analog tuner with raw output keeps capturing across the change.
    if (!(mediaType == kMediaTypeAnalog && outputRaw != 0)) {
        haltCapture();
    }
    pushEndMarker();
    tearDownSourceGraph();
    return open(medium, report);
}

void SkyvanePlugin::haltCapture() {
    if (sourceGraph) {
        stopGraph();
    }
    if (tvControl) {
        tvControl->stopTVControl();
    }
}

bool SkyvanePlugin::close() {
    info(L"SkyvanePlugin::close() called");
    closeDevice();
    wakeReaders();
    return true;
}

HRESULT SkyvanePlugin::closeDevice() {
    stop();
    tearDownSourceGraph();
    if (tvControl) {
        tvControl->CheckReleased(true);
        tvControl->stopTimeShift();
        tvControl.reset();
    }
    info(L"closeDevice returned  %X", 0);
    return 0;
}

void SkyvanePlugin::tearDownSourceGraph() {
    info(L"tearing down source graph");
    if (sourceGraph) {
        stopGraph();
    }
    if (tvControl) {
        tvControl->CheckReleased(true);
    }
    sourceGraph.reset();
}

// ---- Running -----------------------------------------------------------------------------

bool SkyvanePlugin::start() {
    info(L"SkyvanePlugin::start() called");
    delivering = true;
    if (!tvControl) {
        info(L"SkyvanePlugin::start() returned");
        return false;
    }
    const int started = startDevice();
    info(L"SkyvanePlugin::start() returned");
    return started != 0;
}

int SkyvanePlugin::startDevice() {
    HRESULT hr = tvControl->runTVControl();
    if (recordingPath.empty()) {
        if (FAILED(hr)) {
            return 0;
        }
        hr = runGraph();
    }
    if (FAILED(hr)) {
        return 0;
    }
    info(L"SkyvanePlugin::startDevice() returned");
    return 1;
}

bool SkyvanePlugin::stop() {
    delivering = false;
    debug(L"SkyvanePlugin::stop() called");
    if (sourceGraph) {
        stopGraph();
    }
    wakeReaders();
    debug(L"SkyvanePlugin::stop() returned");
    return true;
}

bool SkyvanePlugin::pause() {
    if (sourceGraph) {
        HRESULT hr = pauseGraph();
        debug(L"SkyvanePlugin::pause pauseGraph returned  %X", hr);
    }
    return true;
}

bool SkyvanePlugin::resume() {
    if (sourceGraph) {
        HRESULT hr = runGraph();
        debug(L"SkyvanePlugin::resume runGraph returned  %X", hr);
    }
    return true;
}

void SkyvanePlugin::wakeReaders() {
    // Broadcast under the lock, so a reader between its empty test and its wait is not missed.
    PMutexLocker lock(packetQueue);
    packetQueue.broadcast();
}

HRESULT SkyvanePlugin::controlGraph(HRESULT (ReadBackGraph::*operation)(), const wchar_t* failure) {
    if (!sourceGraph) {
        return E_FAIL;
    }
    HRESULT hr = (sourceGraph.get()->*operation)();
    if (FAILED(hr)) {
        error(failure, hr);
    }
    return hr;
}

HRESULT SkyvanePlugin::runGraph() {
    HRESULT hr = controlGraph(&ReadBackGraph::run, L"Failed to run the stream graph  %X");
    if (FAILED(hr) && sourceGraph) {
        sourceGraph->stop();
    }
    return hr;
}

HRESULT SkyvanePlugin::pauseGraph() {
    return controlGraph(&ReadBackGraph::pause, L"Failed to pause the stream graph  %X");
}

HRESULT SkyvanePlugin::stopGraph() {
    return controlGraph(&ReadBackGraph::stop, L"Failed to stop the stream graph  %X");
}

void SkyvanePlugin::waitGraphStopped() {
    if (sourceGraph) {
        sourceGraph->waitStopped();
    }
}

// ---- Positions ---------------------------------------------------------------------------

int SkyvanePlugin::getPosition(int64_t& milliseconds) {
    if (!sourceGraph) {
        // Nothing plays, so there is no position to read; the start of the stream stands in.
        milliseconds = 0;
        return pelmo::streamer::kPluginOk;
    }
    REFERENCE_TIME position = 0;
    if (FAILED(sourceGraph->getCurrentPosition(position))) {
        return pelmo::streamer::kPluginFailed;
    }
    milliseconds = static_cast<int64_t>(static_cast<double>(position) / 10000.0);
    return pelmo::streamer::kPluginOk;
}

int SkyvanePlugin::setPosition(int64_t milliseconds) {
    if (!sourceGraph) {
        return pelmo::streamer::kPluginFailed;
    }
    info(L"setPosition with position %lld", static_cast<long long>(milliseconds));
    emptyDataQueue();
    HRESULT hr = sourceGraph->seek(milliseconds * 10000);
    // The graph runs again whatever the seek did, even when the host had paused it.
    runGraph();
    return FAILED(hr) ? pelmo::streamer::kPluginFailed : pelmo::streamer::kPluginOk;
}

bool SkyvanePlugin::canSeek() {
    return sourceGraph && sourceGraph->canSeekAbsolute();
}

// ---- Operations this plug-in does not support ----------------------------------------------

int SkyvanePlugin::setPlaybackRate(int32_t, int32_t) {
    return pelmo::streamer::kPluginFailed;
}
int SkyvanePlugin::selectTrack(int32_t, int32_t) {
    return pelmo::streamer::kPluginFailed;
}
bool SkyvanePlugin::isLive() {
    return true;
}
void SkyvanePlugin::setUserData(intptr_t) {}
bool SkyvanePlugin::isFileBased() {
    return false;
}
bool SkyvanePlugin::hasDuration() {
    return false;
}
bool SkyvanePlugin::setOption(intptr_t) {
    return false;
}
bool SkyvanePlugin::getViewport(intptr_t, intptr_t, intptr_t, intptr_t) {
    return false;
}
void SkyvanePlugin::notify(intptr_t, intptr_t) {}

void SkyvanePlugin::describeMedium(pelmo::streamer::Medium& medium) {
    if (!recordingPath.empty()) {
        medium.setProperty("recording", WideToUtf8(recordingPath).c_str());
    }
    medium.setFlagA(1);
    medium.setFlagB(1);
}

// ---- Samples and the packet queue --------------------------------------------------------

int SkyvanePlugin::sampleCallBack(BYTE* data, ULONG sizeLow, ULONG sizeHigh, REFERENCE_TIME* start,
                                  REFERENCE_TIME* end, int /*typeChanged*/, int syncPoint, LONG streamId) {
    // From here on the buffer is ours: it goes into a packet or is released on every path.
    auto giveBack = [](BYTE* buffer) { FrameBufferPool::shared().release(buffer); };
    std::unique_ptr<BYTE, decltype(giveBack)> sample(data, giveBack);
    // During a scan the tuner is elsewhere; an analog capture stays meaningful.
    if (discarding.load() && !analogMedia.load()) {
        return 0;
    }
    const bool usable = (streamId == kAudioStream || streamId == kVideoStream) && sample != nullptr &&
                        (sizeLow != 0 || sizeHigh != 0);
    // The packet is made and filled before the lock so the other grabber and the reader never
    // wait on the allocator; a sample dropped below just throws it away again.
    std::unique_ptr<SimpleSamplePacket> packet(usable ? new (std::nothrow) FramePacket() : nullptr);
    if (packet) {
        const int64_t startTime = start != nullptr ? *start : 0;
        const int64_t endTime = end != nullptr ? *end : startTime;
        packet->set(streamId, sample.release(), static_cast<int32_t>(sizeLow), startTime / 10,
                    (endTime - startTime) / 10, syncPoint != 0);
    }

    {
        PMutexLocker lock(packetQueue);
        const size_t waiting = packetQueue.size();
        if (waiting > kRawQueueLimit) {
            if (outputRaw != 0) {
                // Decoded frames are large: the newest one goes, the queue is left alone.
                if (takeQueueWarning()) {
                    info(L"packet list full dropping packets");
                }
                return 0;
            }
            if (takeQueueWarning()) {
                info(L"big packet list size %d", static_cast<int>(waiting));
            }
        }
        if (streamId != kAudioStream && streamId != kVideoStream) {
            debug(L"unexpected sample type ");
            return 0;
        }
        if (!usable) {
            return 0;
        }
        if (!packet) {
            warn(L"SkyvanePlugin::sampleCallBack can't create SamplePacket()");
            return 0;
        }
        const bool wasEmpty = packetQueue.empty();
        packetQueue.push(packet.release());
        // Signalled while the lock is held: a signal sent after the unlock could reach a reader
        // that has already taken this packet and waits for the next one, which would then wake
        // on an empty queue and report "no frame" in the middle of delivery.
        if (wasEmpty) {
            wakeReader();
        }
    }
    sampleQueued();
    return 0;
}

int SkyvanePlugin::endOfStream(LONG) {
    return 0;
}

LONG SkyvanePlugin::emptyDataQueue() {
    if (sourceGraph) {
        stopGraph();
        debug(L"SkyvanePlugin::emptyDataQueue");
        // After this no streaming thread calls sampleCallBack.
        waitGraphStopped();
    }
    PMutexLocker lock(packetQueue);
    debug(L"SkyvanePlugin::emptyDataQueue queue size %d", static_cast<int>(packetQueue.size()));
    while (!packetQueue.empty()) {
        packetQueue.front()->release();
        packetQueue.pop();
    }
    return 0;
}

LONG SkyvanePlugin::pushEndMarker() {
    emptyDataQueue();
    SimpleSamplePacket* marker = new (std::nothrow) SimpleSamplePacket();
    if (marker == nullptr) {
        warn(L"PredefinedTuner::emptyDataQueue can't create SamplePacket()");
        return -1;
    }
    marker->set(pelmo::streamer::kPacketEndMarker, nullptr, 0, 0, 0, false);
    PMutexLocker lock(packetQueue);
    packetQueue.push(marker);
    debug(L"SkyvanePlugin::emptyDataQueue queue size at exit %d", static_cast<int>(packetQueue.size()));
    // Not signalled: a reader already waiting picks the marker up with the next wake-up.
    return 0;
}

// ---- FormatChangeHandler -----------------------------------------------------------------

LONG SkyvanePlugin::suspendDelivery() {
    discarding = true;
    return 0;
}

LONG SkyvanePlugin::resumeDelivery() {
    discarding = false;
    return 0;
}

LONG SkyvanePlugin::formatChanging() {
    haltCapture();
    pushEndMarker();
    tearDownSourceGraph();
    return 0;
}

LONG SkyvanePlugin::formatChanged() {
    if (!tvControl) {
        error(L"SkyvanePlugin:: runTVControl error is %X", E_UNEXPECTED);
        return E_UNEXPECTED;
    }
    HRESULT hr = tvControl->runTVControl();
    if (FAILED(hr)) {
        error(L"SkyvanePlugin:: runTVControl error is %X", hr);
        return hr;
    }
    hr = createFileGraph();
    if (FAILED(hr)) {
        error(L"SkyvanePlugin:: buildSourceGraph error is %X", hr);
        return hr;
    }
    const int started = startDevice();
    {
        PMutexLocker lock(packetQueue);
        packetQueue.signal();
    }
    return started;
}
