#include "platform/fs/Fs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {
bool isFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

bool CreateFolders(const std::string& path) {
    if (path.empty()) return false;
    if (isFolder(path)) return true;
    // Make every level from the top down; a level that someone else makes meanwhile is fine.
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return isFolder(path);
}

bool GetAppDataFolder(std::string& folder) {
    const char* env = std::getenv("PELMO_APPDATA");
    std::string path = env && *env ? env : "/var/lib/pelmo";
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (!CreateFolders(path)) return false;
    folder = path;
    return true;
}

std::string GetExecutableBaseName() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "unknown";
    std::string path(buf, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.find('.');
    if (dot != std::string::npos) name.resize(dot);
    return name;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == '/') return folder + name;
    return folder + "/" + name;
}
