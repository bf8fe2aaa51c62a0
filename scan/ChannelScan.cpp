#include "scan/ChannelScan.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <system_error>
#include <utility>

#include "base/CRegistry.h"
#include "base/Log.h"
#include "base/Text.h"
#include "platform/graph/GraphInterfaces.h"
#include "platform/mpeg2data/Mpeg2Data.h"
#include "scan/DeviceDecodeUtils.h"
#include "scan/FrequencyFileLines.h"
#include "tuning/MediaType.h"
#include "tuning/MediumString.h"

namespace {

constexpr const wchar_t* kPelmoKey = L"Software\\Kelvarin\\Pelmo";
constexpr const wchar_t* kTransportInformationFilter = L"BDA MPEG2 Transport Information Filter";

std::wstring devicePath(const std::wstring& mediaType, const std::wstring& medium) {
    return L"device://" + mediaType + L"/#/" + medium;
}

// The frequency value of a frequency-file line: the number before its first "/".
int32_t lineFrequency(const std::wstring& line) {
    return MediumString::readInt(line.substr(0, line.find(L'/')));
}

// The line with its frequency replaced, so that a retry tunes where it reports.
std::wstring shiftedMedium(const std::wstring& line, int32_t frequency) {
    size_t slash = line.find(L'/');
    return std::to_wstring(frequency) + (slash == std::wstring::npos ? std::wstring() : line.substr(slash));
}

HRESULT openError(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return HRESULT_FROM_WIN32(2);  // file not found
        case EACCES:
        case EPERM:
            return E_ACCESSDENIED;
        case EISDIR:
            return HRESULT_FROM_WIN32(5);
        default:
            return E_FAIL;
    }
}

}  // namespace

struct ChannelScan::StartRecord {
    std::wstring mediaType;
    ComPtr<IUnknown> graph;
    TuneRequest* tuneRequest;
    ChannelScan* scan;
};

ChannelScan::ChannelScan() = default;

ChannelScan::~ChannelScan() {
    m_stopRequested = true;
    waitScanEnded();
}

void ChannelScan::setResultsHandler(std::wstring deviceName, ScanResultsHandler* handler) {
    m_deviceName = std::move(deviceName);
    m_handler = handler;
}

int32_t ChannelScan::startScanChannels(std::wstring mediaType, IUnknown* graph, TuneRequest* tuneRequest) {
    m_stopRequested = false;
    info(L"[ChannelScan] startScanChannels");
    std::lock_guard<std::mutex> guard(m_threadLock);
    if (m_threadRunning) {
        info(L"[ChannelScan] Already scanning");
        return 1;
    }
    // An ended scan's thread has signalled its end: all that is left of it is its return.
    if (m_scanThread.joinable()) m_scanThread.join();
    m_mediaType = mediaType;
    StartRecord record{std::move(mediaType), ComPtr<IUnknown>(graph), tuneRequest, this};
    m_threadRunning = true;
    try {
        m_scanThread = std::thread(&ChannelScan::scanThread, std::move(record));
    } catch (const std::system_error& e) {
        m_threadRunning = false;
        error(L"[ChannelScan] cannot start the scan thread: %S", e.what());
        return E_FAIL;
    }
    return 0;
}

void ChannelScan::scanThread(StartRecord record) {
    ChannelScan* self = record.scan;
    try {
        if (record.mediaType == kMediaTypeAnalog)
            self->scanAnalogChannels(record.graph.Get(), record.tuneRequest);
        else
            self->scanDigitalChannels(record.graph.Get(), record.tuneRequest);
    } catch (const std::exception& e) {
        error(L"[ChannelScan] scan ended by an exception: %S", e.what());
    }
    record.graph = nullptr;
    std::lock_guard<std::mutex> guard(self->m_threadLock);
    self->m_threadRunning = false;
    self->m_threadEnded.notify_all();
}

int32_t ChannelScan::stopScanChannels() {
    m_stopRequested = true;
    return 0;
}

bool ChannelScan::scanning() const {
    return m_threadRunning;
}

void ChannelScan::waitScanEnded() {
    // The lock is free while the scan runs, so that a start from elsewhere is answered at once.
    std::unique_lock<std::mutex> lock(m_threadLock);
    m_threadEnded.wait(lock, [this] { return !m_threadRunning; });
    if (m_scanThread.joinable()) m_scanThread.join();
}

HRESULT ChannelScan::setTVChannel(std::wstring medium, TuneRequest* tuneRequest) {
    if (!tuneRequest) {
        warn(L"setTVChannel pTuneRequest not created ");
        return E_FAIL;
    }
    CComVariant request;
    return tuneRequest->tune(std::move(medium), request);
}

void ChannelScan::callback(int32_t current, int32_t total, const std::wstring& name, const std::wstring& path,
                           int32_t signal) {
    if (m_handler) m_handler->TVScanCallback(current, total, name, path, signal);
}

void ChannelScan::reportResult() {
    if (m_handler) m_handler->TVScanResult(m_deviceName, m_results);
}

HRESULT ChannelScan::scanAnalogChannels(IUnknown*, TuneRequest* tuneRequest) {
    info(L"ChannelScan::scanAnalogChannels");
    const int32_t total = m_analogChannelCount;
    for (int32_t c = 1; c <= total; ++c) {
        if (m_stopRequested) break;
        HRESULT hr = setTVChannel(std::to_wstring(c), tuneRequest);
        // The lowest channel numbers are not tunable everywhere: failures there are empty channels.
        if (FAILED(hr) && c > 10) {
            info(L"error setting channel %d return code is %X", c, hr);
            break;
        }
        int32_t strength = 0;
        if (SUCCEEDED(hr) && tuneRequest->signalPresent(strength)) {
            if (isDebugEnabled()) debug(L"detected channel %d return code is %d", c, 0);
            ScanItem item;
            item.name = std::to_wstring(c);
            item.path = devicePath(m_mediaType, std::to_wstring(c));
            item.frequency = std::to_wstring(c);
            item.signal = strength;
            callback(c, total, item.name, item.path, strength);
            m_results.push_back(std::move(item));
        } else {
            callback(c, total, L"", L"", 0);
        }
    }
    callback(total, total, L"", L"", 0);
    reportResult();
    return 0;
}

HRESULT ChannelScan::scanDigitalChannels(IUnknown* graph, TuneRequest* tuneRequest) {
    ComPtr<IFilterGraph> filterGraph;
    if (graph) graph->QueryInterface(IID_IFilterGraph, reinterpret_cast<void**>(&filterGraph));
    ComPtr<IMpeg2Data> sectionSource;
    HRESULT hr = DeviceDecodeUtils::FindInterfaceInGraph(filterGraph.Get(), IID_IMpeg2Data,
                                                         reinterpret_cast<void**>(&sectionSource));
    if (FAILED(hr) || !sectionSource) {
        error(L"could not find IMpeg2Data interface");
        return FAILED(hr) ? hr : E_FAIL;
    }
    ComPtr<IBaseFilter> guideDataSource;
    hr = DeviceDecodeUtils::FindFilter(filterGraph.Get(), kTransportInformationFilter, &guideDataSource);
    if (FAILED(hr)) {
        error(L"could not find IGuideData interface");
        return hr;
    }
    std::vector<std::wstring> lines;
    hr = readOTADigitalFrequencies(lines);
    if (FAILED(hr)) {
        error(L"Error with readOTADigitalFrequencies");
        return hr;
    }

    const int32_t n = static_cast<int32_t>(lines.size());
    const int32_t offset = tuneRequest ? tuneRequest->dvbtFrequencyOffset : 0;
    for (int32_t i = 0; i < n; ++i) {
        if (m_stopRequested) break;
        std::wstring medium = lines[i];
        setTVChannel(medium, tuneRequest);
        int32_t strength = 0;
        bool locked = tuneRequest && tuneRequest->signalPresent(strength);
        const int32_t f = lineFrequency(medium);
        int32_t reported = f;
        // A transmitter off its raster is tried above, then below, the listed frequency; the
        // retry tunes the shifted frequency so that what is found is also what its path tunes.
        if (!locked && offset > 0) {
            for (int32_t shift : {offset, -offset}) {
                std::wstring shifted = shiftedMedium(medium, f + shift);
                setTVChannel(shifted, tuneRequest);
                locked = tuneRequest && tuneRequest->signalPresent(strength);
                if (locked) {
                    reported = f + shift;
                    medium = std::move(shifted);
                    break;
                }
            }
        }
        if (!locked) {
            callback(i, n, L"", L"", 0);
            continue;
        }
        std::vector<std::wstring> entries;
        m_lockedMedium = medium;
        scanFrequency(f, reported, medium, sectionSource.Get(), guideDataSource.Get(), tuneRequest, entries);
        for (const std::wstring& entry : entries) {
            info(L"channel Path %s", entry.c_str());
            ScanItem item = MakeDigitalScanItem(m_mediaType, entry, f, strength);
            callback(i, n, item.name, item.path, strength);
            m_results.push_back(std::move(item));
        }
    }
    callback(n, n, L"", L"", 0);
    reportResult();
    return 0;
}

const wchar_t* ChannelScan::frequencyFileFor(int32_t countryCode) {
    switch (countryCode) {
        case 1:
            return L"ATSCfrequencies.txt";
        case 7:
        case 33:
        case 34:
        case 36:
        case 39:
        case 41:
        case 44:
        case 86:
        case 352:
        case 370:
        case 371:
        case 372:
        case 420:
            return L"DVBTfrequencies_B8.txt";
        case 31:
        case 32:
        case 46:
        case 47:
        case 49:
        case 65:
        case 353:
        case 354:
        case 358:
            return L"DVBTfrequencies_B7-8.txt";
        case 61:
            return L"DVBTfrequencies_B7.txt";
        case 886:
            return L"DVBTfrequencies_B6.txt";
        default:
            return L"DVBTfrequencies_Universal.txt";
    }
}

HRESULT ChannelScan::readOTADigitalFrequencies(std::vector<std::wstring>& lines) {
    std::wstring installDir;
    readRegistryString(kPelmoKey, L"InstallDir", installDir);
    int32_t countryCode = 1;
    readRegistryDWORD(kTunerSettingsKey, L"CountryCode", countryCode);
    info(L"country code is %d", countryCode);
    const std::wstring path = installDir + frequencyFileFor(countryCode);
    info(L"loading file %s", path.c_str());

    FILE* file = std::fopen(WideToUtf8(path).c_str(), "rb");
    if (!file) {
        const int err = errno;
        info(L"can't load frequencies file %s", path.c_str());
        return openError(err);
    }
    FrequencyFileLines reader;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) reader.add(buffer, got);
    reader.finish();
    std::fclose(file);
    lines = reader.take();
    return 0;
}
