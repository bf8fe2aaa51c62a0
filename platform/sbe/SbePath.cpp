#include "platform/sbe/SbePath.h"

#include <cctype>

#include "base/Text.h"
#include "platform/fs/Fs.h"

std::string SbeFilePath(const std::wstring& name) {
    std::string path = WideToUtf8(name);
    for (char& c : path)
        if (c == '\\') c = '/';
    if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
        std::string folder;
        if (GetAppDataFolder(folder)) return JoinPath(folder, path.substr(2));
        return path.substr(2);
    }
    return path;
}
