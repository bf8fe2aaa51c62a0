#include "plugin/TVCtlAdapter.h"

#include <chrono>
#include <thread>

#include "base/Log.h"
#include "tuning/BDATuneRequest.h"

TVCtlAdapter::TVCtlAdapter(const std::wstring& mediaType, const std::wstring& deviceName,
                           FormatChangeHandler& handler)
    : control(mediaType, deviceName, &handler) {}

HRESULT TVCtlAdapter::StartTimeShift(const std::wstring& medium, std::wstring& bufferPath) {
    HRESULT tuneResult = S_OK;
    HRESULT hr = control.StartTimeShift(medium, bufferPath, tuneResult);
    if (SUCCEEDED(hr) && FAILED(tuneResult)) {
        error(L"SkyvanePlugin: channel %s could not be tuned %X", medium.c_str(), tuneResult);
        return tuneResult;
    }
    return hr;
}

HRESULT TVCtlAdapter::setTVChannel(const std::wstring& medium) {
    return control.setTVChannel(medium);
}

HRESULT TVCtlAdapter::runTVControl() {
    return control.runTVControl();
}

HRESULT TVCtlAdapter::CreateRecording(const std::wstring& recordingPath) {
    return control.CreateRecording(recordingPath);
}

HRESULT TVCtlAdapter::CheckReleased(bool force) {
    return control.CheckReleased(force);
}

HRESULT TVCtlAdapter::stopTVControl() {
    return control.stopTVControl();
}

HRESULT TVCtlAdapter::stopTimeShift() {
    return control.stopTimeShift();
}

namespace {

// The tune request's statistics read, on a request of its own that tunes nothing: it finds
// the active tuner through the Video Control as the control's own request does.
class SignalReader : public BDATuneRequest {
public:
    SignalReader(HuxSatellite* busClient, IMSVidCtl* videoControl)
        : BDATuneRequest(nullptr, nullptr, busClient, videoControl) {}
    using BDATuneRequest::getSignalStatistics;
};

int64_t msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace

HRESULT TVCtlAdapter::checkReception(const std::wstring& medium) {
    if (control.mediaType() == L"tv.channel.analog" || control.videoControl() == nullptr) return S_OK;
    SignalReader reader(&control, control.videoControl());
    const auto start = std::chrono::steady_clock::now();
    constexpr auto kPoll = std::chrono::milliseconds(50);
    bool locked = false, present = false;
    LONG strength = 0, quality = 0;
    for (;;) {
        if (FAILED(reader.getSignalStatistics(locked, present, strength, quality))) {
            // As in the signal test: a tuner without statistics counts as receiving.
            return S_OK;
        }
        if (locked && quality > 0) {
            debug(L"SkyvanePlugin: channel %s locked after %d ms, strength %d quality %d", medium.c_str(),
                  static_cast<int>(msSince(start)), static_cast<int>(strength), static_cast<int>(quality));
            return S_OK;
        }
        const int64_t waited = msSince(start);
        if (waited > BDATuneRequest::kSignalGiveUpMs || (!present && waited >= BDATuneRequest::kSignalPollMs))
            break;
        std::this_thread::sleep_for(kPoll);
    }
    error(L"SkyvanePlugin: nothing is received on channel %s (signal present %d, locked %d, strength %d)",
          medium.c_str(), present ? 1 : 0, locked ? 1 : 0, static_cast<int>(strength));
    return E_FAIL;
}
