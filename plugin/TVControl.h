// The operations the plug-in's lifecycle needs from the TV control object that captures
// one tuner into a time-shift buffer. The TV control class implements them.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/com/Types.h"

class FormatChangeHandler;

class TVControl {
public:
    virtual ~TVControl() = default;
    // Tunes the medium and starts capture; bufferPath receives the time-shift buffer's file.
    virtual HRESULT StartTimeShift(const std::wstring& medium, std::wstring& bufferPath) = 0;
    virtual HRESULT setTVChannel(const std::wstring& medium) = 0;
    virtual HRESULT runTVControl() = 0;
    virtual HRESULT CreateRecording(const std::wstring& recordingPath) = 0;
    // With force set, ends a recording in progress.
    virtual HRESULT CheckReleased(bool force) = 0;
    // Halts capture and keeps its configuration for a later runTVControl.
    virtual HRESULT stopTVControl() = 0;
    virtual HRESULT stopTimeShift() = 0;
    // After a channel was tuned and the capture runs: fails when the tuner receives nothing on
    // it, so that an open does not wait for a buffer that stays empty. A control that cannot
    // tell what its tuner receives lets the open go on.
    virtual HRESULT checkReception(const std::wstring& medium) {
        (void)medium;
        return S_OK;
    }
};

// Makes the TV control object for a media type and device ("tuner://" path or empty); null
// when none can be made.
using TVControlFactory = std::function<std::unique_ptr<TVControl>(
    const std::wstring& mediaType, const std::wstring& deviceName, FormatChangeHandler& handler)>;
