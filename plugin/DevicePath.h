// Device paths name what the host opens:
//   channel path  device://<media type>/#/<medium string>
//   tuner path    tuner://<media type>/#/<anything>
// Texts are compared case-sensitively, character by character.
#pragma once

#include <string>
#include <vector>

#include "platform/com/Types.h"

class DevicePath {
public:
    static constexpr const wchar_t* kSeparator = L"/#/";
    static constexpr const wchar_t* kChannelPrefix = L"device://";
    static constexpr const wchar_t* kTunerPrefix = L"tuner://";

    // The pieces between separators, empty ones included: no separator gives the whole text,
    // a trailing separator an empty last piece.
    static std::vector<std::wstring> split(const std::wstring& text, const std::wstring& separator);

    // Removes every occurrence of `what`, wherever it stands.
    static std::wstring removeAll(std::wstring text, const std::wstring& what);

    static bool isTunerPath(const std::wstring& path) {
        return path.find(kTunerPrefix) != std::wstring::npos;
    }

    // Reads a channel path into media type and medium; pieces after the medium are ignored.
    // False when the path has no separator and so no medium.
    static bool readChannelPath(const std::wstring& path, std::wstring& mediaType, std::wstring& medium);

    // The channel path that opening a tuner path stands for: the default medium of its media
    // type. Refusals are logged and answer E_FAIL.
    static HRESULT channelPathForTuner(const std::wstring& tunerPath, std::wstring& channelPath);

    static std::wstring channelPath(const std::wstring& mediaType, const std::wstring& medium);
};
