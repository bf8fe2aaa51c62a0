#include "plugin/DevicePath.h"

#include "base/Log.h"
#include "tuning/MediaType.h"
#include "tuning/MediumString.h"

std::vector<std::wstring> DevicePath::split(const std::wstring& text, const std::wstring& separator) {
    std::vector<std::wstring> pieces;
    if (separator.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    size_t pos = 0;
    for (;;) {
        size_t found = text.find(separator, pos);
        if (found == std::wstring::npos) {
            pieces.push_back(text.substr(pos));
            return pieces;
        }
        pieces.push_back(text.substr(pos, found - pos));
        pos = found + separator.size();
    }
}

std::wstring DevicePath::removeAll(std::wstring text, const std::wstring& what) {
    if (what.empty()) {
        return text;
    }
    // Removal can join two halves into a new occurrence ("devdevice://ice://"); searching again
    // from the join point removes that one too, as a remove-until-none-left would.
    size_t pos = text.find(what);
    while (pos != std::wstring::npos) {
        text.erase(pos, what.size());
        pos = text.find(what, pos >= what.size() ? pos - what.size() + 1 : 0);
    }
    return text;
}

bool DevicePath::readChannelPath(const std::wstring& path, std::wstring& mediaType, std::wstring& medium) {
    std::vector<std::wstring> pieces = split(removeAll(path, kChannelPrefix), kSeparator);
    mediaType = pieces[0];
    if (pieces.size() < 2) {
        medium.clear();
        return false;
    }
    medium = pieces[1];
    return true;
}

HRESULT DevicePath::channelPathForTuner(const std::wstring& tunerPath, std::wstring& channelPath) {
    std::wstring p = removeAll(tunerPath, kTunerPrefix);
    std::vector<std::wstring> pieces = split(p, kSeparator);
    if (pieces.size() < 2) {
        warn(L"Wrong path for device %s", p.c_str());
        return E_FAIL;
    }
    const std::wstring& mediaType = pieces[0];
    if (mediaType == kMediaTypeWebcam) {
        warn(L"No scan for webcams %s", p.c_str());
        return E_FAIL;
    }
    std::wstring medium = MediumString::defaultFor(mediaType);
    if (medium.empty()) {
        warn(L"Unsupported mediaType %s", p.c_str());
        return E_FAIL;
    }
    channelPath = DevicePath::channelPath(mediaType, medium);
    return S_OK;
}

std::wstring DevicePath::channelPath(const std::wstring& mediaType, const std::wstring& medium) {
    return std::wstring(kChannelPrefix) + mediaType + kSeparator + medium;
}
