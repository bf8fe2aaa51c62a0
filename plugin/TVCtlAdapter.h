// The plug-in's TV control: the TV control object behind the operations the plug-in's
// lifecycle calls.
#pragma once

#include <string>

#include "plugin/TVControl.h"
#include "tvctl/CTVCtl.h"

class TVCtlAdapter : public TVControl {
public:
    TVCtlAdapter(const std::wstring& mediaType, const std::wstring& deviceName, FormatChangeHandler& handler);

    // A start whose channel could not be tuned fails with the tune's own code: there would be
    // nothing to read back. The control stays built, so the next open retunes it.
    HRESULT StartTimeShift(const std::wstring& medium, std::wstring& bufferPath) override;
    HRESULT setTVChannel(const std::wstring& medium) override;
    HRESULT runTVControl() override;
    HRESULT CreateRecording(const std::wstring& recordingPath) override;
    HRESULT CheckReleased(bool force) override;
    HRESULT stopTVControl() override;
    HRESULT stopTimeShift() override;
    // Digital tuners: waits for the tuner's lock (polling its statistics) and fails when it
    // does not lock within the signal test's time, or when there is no carrier at all after
    // one of its polls. Analog channels always pass: the encoder records snow and silence.
    HRESULT checkReception(const std::wstring& medium) override;

private:
    CTVCtl control;
};
