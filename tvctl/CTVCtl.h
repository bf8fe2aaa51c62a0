// The TV control object: one per opened tuner. It owns a Video Control, picks the tuner among
// its inputs, tunes it, adds the card's hardware encoder for analog sources and the stream-
// buffer sink that writes the time-shift buffer, runs it, and hands the buffer's name to the
// plug-in. It is also the plug-in's client on the message bus ("StartTVScan", "StopTVScan",
// "SetTunerInputSource") and the receiver of channel-scan progress and results.
//
// Threads: the owner calls every public operation from one thread at a time. Bus handlers run
// on the bus client's dispatch thread and scan reports on the scan's thread; those two share
// the tune request with the owner's thread, guarded by m_tuneLock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hux/HuxSatellite.h"
#include "scan/ChannelScan.h"
#include "scan/ScanResultsHandler.h"
#include "tuning/TuneRequest.h"
#include "tvctl/FormatChangeHandler.h"
#include "tvctl/PlatformInterfaces.h"

class CTVCtl : public HuxSatellite, public ScanResultsHandler {
public:
    // mediaType: "tv.channel.analog", "tv.channel.dvbt" or "tv.channel.atsc". deviceName is
    // handed to the channel scan. owner may be null; it is told when a scan starts and ends.
    CTVCtl(std::wstring mediaType, std::wstring deviceName, FormatChangeHandler* owner);
    ~CTVCtl() override;

    // Time shift ------------------------------------------------------------------------
    // Tunes `channel` (a medium string) and starts capture into the time-shift buffer, whose
    // name goes to bufferName; tuneResult receives the status of the last tuning attempt. On a
    // control that is already built this only retunes.
    HRESULT StartTimeShift(std::wstring channel, std::wstring& bufferName, HRESULT& tuneResult);
    // Retunes the active input. E_FAIL before StartTimeShift.
    HRESULT setTVChannel(std::wstring channel);
    HRESULT activateDevice();
    // Puts the control into the running state, with retries and fall-backs.
    HRESULT runTVControl();
    HRESULT RunWithFilterGraph();
    HRESULT StopWithFilterGraph();

    // Device rules --------------------------------------------------------------------------
    // Whether the tuner at `index` of the tuner category was found; path receives its device
    // path when it could be read.
    bool getTunerDevicePath(int32_t index, std::wstring& path);
    bool isTVTunerSupported(const std::wstring& devicePath);
    // Position of the tuner's own encoder among the encoders followed by the multiplexers that
    // are not also encoders; -1 when none matches. E_ACCESSDENIED for an unsupported tuner.
    HRESULT GetEncoderPosition(int32_t deviceIndex, int32_t& position);

    // Encoders and outputs --------------------------------------------------------------------
    // matchDevice: only the encoder of the tuner's own card.
    HRESULT AddEncoder(bool matchDevice);
    HRESULT removeEncoder();
    HRESULT activateOutput();
    HRESULT deActivateOutput();

    // Recording ----------------------------------------------------------------------------
    // 0 (or another success) started; 1 nothing started (recorder busy, or no sink).
    HRESULT CreateRecording(std::wstring fileName);
    // 1 when the recorder is free afterwards, 0 while a recording runs (only without force).
    int32_t CheckReleased(bool force);

    // Stop and clean-up ----------------------------------------------------------------------
    // Halts the control and keeps its configuration (runTVControl resumes it).
    HRESULT stopTVControl();
    // Takes apart what StartTimeShift configured; always 0.
    HRESULT stopTimeShift();
    // Removes the stream buffer's temporary files older than 48 hours.
    void clearTemporaryFiles();
    // Deletes the files of `folder` matching `pattern` (a '*' wildcard pattern) whose time plus
    // maxAge (100-ns units) lies before now; sub-folders are never deleted.
    static void RemoveOldFiles(const std::wstring& folder, const std::wstring& pattern, int64_t maxAge);
    // The stream buffer's temporary folder for the log-on user; false without a user name.
    static bool TemporaryFolder(std::wstring& folder);

    // Bus -------------------------------------------------------------------------------------
    HRESULT DeclareServices() override;
    HRESULT HuxStartTVScan(const std::wstring& service, VARIANT& args, VARIANT* reply);
    HRESULT HuxStopTVScan(const std::wstring& service, VARIANT& args, VARIANT* reply);
    HRESULT HuxTuneTVChannel(const std::wstring& service, VARIANT& args, VARIANT* reply);

    // ScanResultsHandler
    int32_t TVScanCallback(int32_t current, int32_t total, std::wstring name, std::wstring path,
                           int32_t signal) override;
    int32_t TVScanResult(std::wstring deviceName, std::vector<ScanItem> items) override;
    int32_t Reserved1() override { return 0; }
    int32_t Reserved2() override { return 0; }

    // For the owner's adapter and for tests.
    const std::wstring& bufferName() const { return m_bufferName; }
    const std::wstring& busClientName() const { return m_busClientName; }
    const std::wstring& mediaType() const { return m_mediaType; }
    IMSVidCtl* videoControl() const { return m_TVControl.Get(); }
    IMSVidStreamBufferSink* streamBufferSink() const { return m_sink.Get(); }
    ChannelScan& channelScan() { return m_channelScan; }
    bool hasTuneRequest();

    // Forty-eight hours in 100-ns units: the age at which a temporary file is removed.
    static constexpr int64_t kTemporaryFileMaxAge = 1728000000000LL;

private:
    static std::wstring makeBufferName();
    // Makes and initialises the tune request over the active input.
    HRESULT createTuneRequest();
    // Moves to the next tuner of the category; false when there is none.
    bool nextTuner();
    // The sink keeps the programme the medium names (the service of a DVB-T medium, the
    // virtual channel of an ATSC one).
    void selectProgramme(const std::wstring& channel);
    HRESULT graphControl(bool run);

    ComPtr<IMSVidCtl> m_TVControl;
    ComPtr<IMSVidInputDevice> m_inputDevice;
    ComPtr<IMSVidStreamBufferSink> m_sink;
    ComPtr<IMSVidStreamBufferRecordingControl> m_recorder;
    std::wstring m_bufferName;
    std::wstring m_mediaType;
    int32_t m_deviceIndex = 0;
    // Guards the tune request's existence against the bus handlers.
    std::mutex m_tuneLock;
    std::unique_ptr<TuneRequest> m_tuneRequest;
    std::wstring m_busClientName;
    ChannelScan m_channelScan;
    std::wstring m_deviceName;
    FormatChangeHandler* m_owner;
};
