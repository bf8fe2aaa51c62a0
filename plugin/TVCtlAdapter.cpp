#include "plugin/TVCtlAdapter.h"

#include "base/Log.h"

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
