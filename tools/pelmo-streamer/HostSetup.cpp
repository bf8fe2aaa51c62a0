#include "tools/pelmo-streamer/HostSetup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/fs/Fs.h"
#include "platform/registry/Registry.h"

namespace pelmo::streamer {
namespace {

const wchar_t* const kPelmoKey = L"Software\\Kelvarin\\Pelmo";
const wchar_t* const kTvKey = L"Software\\Kelvarin\\Pelmo\\PelmoTV";
const wchar_t* const kBufferKey = L"Software\\Kelvarin\\Pelmo\\Skyvane\\StreamBuffer";

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string parentOf(const std::string& dir) {
    size_t slash = dir.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : dir.substr(0, slash);
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

std::string homeFolder(const char* xdgVariable, const char* fallback) {
    std::string xdg = env(xdgVariable);
    if (!xdg.empty() && xdg[0] == '/') return xdg + "/pelmo";
    std::string home = env("HOME");
    if (home.empty()) home = "/tmp";
    return home + "/" + fallback + "/pelmo";
}

std::wstring wide(const std::string& s) {
    // Paths are taken byte by byte: the registry keeps them as they are.
    return std::wstring(s.begin(), s.end());
}

// Runs f with $PELMO_REGISTRY pointing at folder, then puts the old value back.
template <class F>
auto withRegistry(const std::string& folder, F f) {
    const char* old = std::getenv("PELMO_REGISTRY");
    std::string saved = old != nullptr ? old : "";
    setenv("PELMO_REGISTRY", folder.c_str(), 1);
    auto result = f();
    if (old != nullptr)
        setenv("PELMO_REGISTRY", saved.c_str(), 1);
    else
        unsetenv("PELMO_REGISTRY");
    return result;
}

bool readString(HKEY root, const wchar_t* key, const wchar_t* name, std::string& value) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(root, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = 0;
    bool ok = RegQueryValueExW(h, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ;
    if (ok) {
        std::vector<wchar_t> buf(size / sizeof(wchar_t) + 1, 0);
        ok = RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size) ==
             ERROR_SUCCESS;
        if (ok) {
            value.clear();
            for (wchar_t c : buf) {
                if (c == 0) break;
                value.push_back(static_cast<char>(c));
            }
        }
    }
    RegCloseKey(h);
    return ok;
}

bool hasValue(HKEY root, const wchar_t* key, const wchar_t* name) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(root, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = 0;
    bool ok = RegQueryValueExW(h, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    RegCloseKey(h);
    return ok;
}

LONG setValue(HKEY root, const wchar_t* key, const wchar_t* name, DWORD type, const BYTE* data, DWORD size) {
    HKEY h = nullptr;
    LONG rc =
        RegCreateKeyExW(root, key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &h, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(h, name, 0, type, data, size);
    RegCloseKey(h);
    return rc;
}

LONG setDword(HKEY root, const wchar_t* key, const wchar_t* name, uint32_t value) {
    DWORD v = value;
    return setValue(root, key, name, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

LONG setString(HKEY root, const wchar_t* key, const wchar_t* name, const std::string& value) {
    std::wstring w = wide(value);
    return setValue(root, key, name, REG_SZ, reinterpret_cast<const BYTE*>(w.c_str()),
                    static_cast<DWORD>((w.size() + 1) * sizeof(wchar_t)));
}

bool copyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    if (!in) return true;  // nothing to copy: an empty hive
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    return static_cast<bool>(out);
}

}  // namespace

std::string executableDir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    return parentOf(std::string(buf, static_cast<size_t>(n)));
}

HostPlaces findPlaces(const std::string& exeDir, bool root) {
    HostPlaces p;
    // A build folder holds CMakeCache.txt two levels above the tool (<build>/tools/NAME/).
    std::string tools = parentOf(exeDir);
    std::string build = parentOf(tools);
    std::string registryDefault, appDataDefault;
    const bool inTools = tools.size() >= 6 && tools.compare(tools.size() - 6, 6, "/tools") == 0;
    if (inTools && exists(build + "/CMakeCache.txt")) {
        p.buildTree = true;
        p.module = build + "/plugin/libskyvane.so";
        p.installDir = build + "/data/";
        registryDefault = build + "/pelmo/registry";
        appDataDefault = build + "/pelmo/appdata";
    } else {
        std::string prefix = parentOf(exeDir);
        p.module = prefix + "/lib/skyvane/libskyvane.so";
        p.installDir = prefix + "/share/skyvane/";
        // The machine-wide folders when they can be used, the user's own ones otherwise.
        bool system = root || exists("/etc/pelmo/HKEY_LOCAL_MACHINE.reg");
        registryDefault = system ? "/etc/pelmo" : homeFolder("XDG_CONFIG_HOME", ".config");
        appDataDefault = root || access("/var/lib/pelmo", W_OK) == 0
                             ? "/var/lib/pelmo"
                             : homeFolder("XDG_DATA_HOME", ".local/share");
    }
    p.registry = env("PELMO_REGISTRY").empty() ? registryDefault : env("PELMO_REGISTRY");
    p.appData = env("PELMO_APPDATA").empty() ? appDataDefault : env("PELMO_APPDATA");
    while (p.appData.size() > 1 && p.appData.back() == '/') p.appData.pop_back();
    return p;
}

void exportPlaces(const HostPlaces& places) {
    setenv("PELMO_REGISTRY", places.registry.c_str(), 1);
    setenv("PELMO_APPDATA", places.appData.c_str(), 1);
}

bool fillRegistryDefaults(const std::string& folder, const std::string& installDir, std::string& error) {
    return withRegistry(folder, [&] {
        struct Dword {
            HKEY root;
            const wchar_t* key;
            const wchar_t* name;
            uint32_t value;
        };
        const Dword dwords[] = {
            {HKEY_LOCAL_MACHINE, kPelmoKey, L"LogLevel", 1},
            {HKEY_LOCAL_MACHINE, kTvKey, L"OutputRaw", 1},
            {HKEY_LOCAL_MACHINE, kTvKey, L"CountryCode", 1},
            {HKEY_LOCAL_MACHINE, kTvKey, L"TunerInput", 0},
            {HKEY_LOCAL_MACHINE, kTvKey, L"DVBTFrequencyOffset", 0},
            {HKEY_LOCAL_MACHINE, kTvKey, L"HasSetTopBox", 0},
            {HKEY_CURRENT_USER, kBufferKey, L"WindowSeconds", 3600},
            {HKEY_CURRENT_USER, kBufferKey, L"MaxMegabytes", 4096},
            {HKEY_CURRENT_USER, kBufferKey, L"SegmentSeconds", 10},
        };
        std::string dir;
        bool replaceDir =
            !readString(HKEY_LOCAL_MACHINE, kPelmoKey, L"InstallDir", dir) || dir.empty() || !exists(dir);
        std::string wanted = installDir;
        if (wanted.empty() || wanted.back() != '/') wanted += '/';
        bool missing = replaceDir;
        for (const Dword& d : dwords) missing = missing || !hasValue(d.root, d.key, d.name);
        if (!missing) return true;
        if (!CreateFolders(folder) || access(folder.c_str(), W_OK) != 0) {
            error = "the settings folder " + folder + " cannot be written";
            return false;
        }
        // The installation folder is written with its trailing separator: file names are appended to it.
        if (replaceDir && setString(HKEY_LOCAL_MACHINE, kPelmoKey, L"InstallDir", wanted) != ERROR_SUCCESS) {
            error = "cannot write InstallDir into " + folder;
            return false;
        }
        for (const Dword& d : dwords) {
            if (hasValue(d.root, d.key, d.name)) continue;
            if (setDword(d.root, d.key, d.name, d.value) != ERROR_SUCCESS) {
                error = "cannot write the default settings into " + folder;
                return false;
            }
        }
        return true;
    });
}

RegistryOverlay::~RegistryOverlay() {
    if (path.empty()) return;
    for (const char* name : {"HKEY_LOCAL_MACHINE.reg", "HKEY_CURRENT_USER.reg", "HKEY_LOCAL_MACHINE.reg.lock",
                             "HKEY_CURRENT_USER.reg.lock"})
        unlink((path + "/" + name).c_str());
    rmdir(path.c_str());
}

bool RegistryOverlay::create(const std::string& registryFolder,
                             const std::map<std::string, uint32_t>& tvValues, std::string& error) {
    std::string tmp = env("TMPDIR").empty() ? "/tmp" : env("TMPDIR");
    std::string pattern = tmp + "/pelmo-settings.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        error = "cannot make a folder for this run's settings in " + tmp + ": " + std::strerror(errno);
        return false;
    }
    path = buf.data();
    for (const char* name : {"HKEY_LOCAL_MACHINE.reg", "HKEY_CURRENT_USER.reg"}) {
        if (!copyFile(registryFolder + "/" + name, path + "/" + name)) {
            error = "cannot copy the settings of " + registryFolder;
            return false;
        }
    }
    return withRegistry(path, [&] {
        for (const auto& [name, value] : tvValues) {
            if (setDword(HKEY_LOCAL_MACHINE, kTvKey, wide(name).c_str(), value) != ERROR_SUCCESS) {
                error = "cannot set " + name + " for this run";
                return false;
            }
        }
        return true;
    });
}

}  // namespace pelmo::streamer
