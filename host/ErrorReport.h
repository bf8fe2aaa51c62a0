// Where the plug-in explains to the host why an open failed.
#pragma once

namespace pelmo::streamer {

class ErrorReport {
public:
    virtual ~ErrorReport() = default;
    virtual void setCode(int code) = 0;
    virtual void setMessage(const char* message) = 0;
};

}  // namespace pelmo::streamer
