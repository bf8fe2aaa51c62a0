// Runs one channel scan at a time on its own thread: analog channels 1-300, or the lines of the
// country's frequency file for DVB-T and ATSC, reporting to a ScanResultsHandler.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/Unknown.h"
#include "scan/ScanItem.h"
#include "scan/ScanResultsHandler.h"
#include "tuning/TuneRequest.h"

class ChannelScan {
public:
    ChannelScan();
    // Asks a running scan to stop and waits for its thread.
    ~ChannelScan();
    ChannelScan(const ChannelScan&) = delete;
    ChannelScan& operator=(const ChannelScan&) = delete;

    void setResultsHandler(std::wstring deviceName, ScanResultsHandler* handler);
    // 0 when a scan thread was started, 1 when a scan is already running. graph is the TV
    // control's media graph (held for the scan's length); tuneRequest must outlive the scan.
    int32_t startScanChannels(std::wstring mediaType, IUnknown* graph, TuneRequest* tuneRequest);
    // The running scan ends at its next channel or line, still with its final callback and result.
    int32_t stopScanChannels();
    HRESULT setTVChannel(std::wstring medium, TuneRequest* tuneRequest);

    // Every channel found since this object was created (read it only while no scan runs).
    const std::vector<ScanItem>& results() const { return m_results; }
    bool scanning() const;
    // Blocks until the running scan (if any) has ended.
    void waitScanEnded();

    // The frequency file's lines for the current country code and install folder.
    static HRESULT readOTADigitalFrequencies(std::vector<std::wstring>& lines);
    // Which frequency file a country code selects.
    static const wchar_t* frequencyFileFor(int32_t countryCode);

    // One locked frequency: the digital scan driver's table scan of the tuned multiplex, whose
    // channel entries are appended to list. The medium is tuned again first, unless the scan
    // has just found the tuner locked on it. Public for the scan driver's own tests.
    HRESULT scanFrequency(int32_t networkNumber, int32_t frequency, const std::wstring& medium,
                          IUnknown* sectionSource, IUnknown* guideDataSource, TuneRequest* tuneRequest,
                          std::vector<std::wstring>& list);

private:
    struct StartRecord;
    static void scanThread(StartRecord record);
    HRESULT scanAnalogChannels(IUnknown* graph, TuneRequest* tuneRequest);
    HRESULT scanDigitalChannels(IUnknown* graph, TuneRequest* tuneRequest);
    // The handler's two calls; nothing happens while no handler is set.
    void callback(int32_t current, int32_t total, const std::wstring& name, const std::wstring& path,
                  int32_t signal);
    void reportResult();

    ScanResultsHandler* m_handler = nullptr;
    std::wstring m_mediaType;
    std::wstring m_deviceName;
    int32_t m_analogChannelCount = 300;
    std::vector<ScanItem> m_results;
    // The medium the digital scan has just tuned and found locked, for its table scan; empty
    // otherwise. Only the scan thread touches it.
    std::wstring m_lockedMedium;
    std::atomic<bool> m_stopRequested{false};
    // Guards the thread handle against starts, waits and the destructor on different threads;
    // the scan thread signals its end under it.
    mutable std::mutex m_threadLock;
    std::condition_variable m_threadEnded;
    std::thread m_scanThread;
    std::atomic<bool> m_threadRunning{false};
};
