// What the host asks the plug-in to open: a device path plus named properties.
#pragma once

namespace pelmo::streamer {

// Named texts attached to a medium (for example "recording" with a target file).
class PropertyMap {
public:
    virtual ~PropertyMap() = default;
    // Answers the value as UTF-8 text, or null when the key is absent.
    virtual const char* get(const char* key) const = 0;
};

class Medium {
public:
    virtual ~Medium() = default;
    // The device path as UTF-8 text.
    virtual const char* getPath() const = 0;
    // Whether the medium can be seeked within (the plug-in sets it after an open).
    virtual void setFlagB(int value) = 0;
    // Whether the medium is live (the plug-in sets it after an open).
    virtual void setFlagA(int value) = 0;
    // Null when the medium carries no properties.
    virtual const PropertyMap* getProperties() const = 0;
    virtual void setProperty(const char* key, const char* value) = 0;
};

}  // namespace pelmo::streamer
