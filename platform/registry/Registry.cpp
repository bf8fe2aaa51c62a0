#include "platform/registry/Registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/fs/Fs.h"

struct HKEY__ {
    int hive;
    std::wstring path;
    REGSAM access;
};

namespace {

constexpr int kCurrentUser = 0;
constexpr int kLocalMachine = 1;
const wchar_t* const kRootNames[] = {L"HKEY_CURRENT_USER", L"HKEY_LOCAL_MACHINE"};
const char* const kFileNames[] = {"HKEY_CURRENT_USER.reg", "HKEY_LOCAL_MACHINE.reg"};

// What the file looked like when it was last read; any difference means it must be read again.
struct FileStamp {
    std::string path;
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};

    bool operator==(const FileStamp& o) const {
        return path == o.path && exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

struct LoadedHive {
    Hive hive{L""};
    FileStamp stamp;
    bool loaded = false;
};

std::mutex g_lock;
LoadedHive g_hives[2];

std::string hiveFolder() {
    const char* env = std::getenv("PELMO_REGISTRY");
    return env && *env ? env : "/etc/pelmo";
}

FileStamp stampOf(const std::string& path) {
    FileStamp s;
    s.path = path;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        s.exists = true;
        s.dev = st.st_dev;
        s.ino = st.st_ino;
        s.size = st.st_size;
        s.mtime = st.st_mtim;
    }
    return s;
}

bool readFile(const std::string& path, std::string& text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fd);
    return n == 0;
}

// Brings the hive up to date with its file; called with g_lock held.
Hive& current(int which) {
    LoadedHive& h = g_hives[which];
    FileStamp now = stampOf(JoinPath(hiveFolder(), kFileNames[which]));
    if (h.loaded && h.stamp == now) return h.hive;
    h.hive = Hive(kRootNames[which]);
    std::string text;
    if (now.exists && readFile(now.path, text)) h.hive.parse(text);
    h.stamp = now;
    h.loaded = true;
    return h.hive;
}

LONG save(int which) {
    LoadedHive& h = g_hives[which];
    std::string folder = hiveFolder();
    if (!CreateFolders(folder)) return ERROR_CANTWRITE;
    std::string path = JoinPath(folder, kFileNames[which]);
    std::string tmp = path + ".XXXXXX";
    std::string text = h.hive.serialize();
    int fd = mkstemp(tmp.data());
    if (fd < 0) return ERROR_CANTWRITE;
    fchmod(fd, 0644);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == text.size() && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return ERROR_CANTWRITE;
    }
    h.stamp = stampOf(path);
    return ERROR_SUCCESS;
}

bool resolve(HKEY key, int& hive, std::wstring& path, REGSAM* access = nullptr) {
    if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE) {
        hive = key == HKEY_CURRENT_USER ? kCurrentUser : kLocalMachine;
        path.clear();
        if (access) *access = KEY_ALL_ACCESS;
        return true;
    }
    if (!key) return false;
    hive = key->hive;
    path = key->path;
    if (access) *access = key->access;
    return true;
}

std::wstring subPath(const std::wstring& base, LPCWSTR sub) {
    if (!sub || !*sub) return base;
    if (base.empty()) return sub;
    return base + L"\\" + sub;
}

bool hasLineBreak(const wchar_t* s) {
    return s && (std::wcschr(s, L'\n') || std::wcschr(s, L'\r'));
}

}  // namespace

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    int hive;
    std::wstring base;
    if (!resolve(key, hive, base)) return ERROR_INVALID_HANDLE;
    std::wstring path = subPath(base, subKey);
    std::lock_guard<std::mutex> lock(g_lock);
    Hive::Key* k = current(hive).findKey(path);
    if (!k && !Hive::normalize(path).empty()) return ERROR_FILE_NOT_FOUND;
    *result = new HKEY__{hive, k ? k->path : std::wstring(), access};
    return ERROR_SUCCESS;
}

LONG RegOpenKeyW(HKEY key, LPCWSTR subKey, PHKEY result) {
    return RegOpenKeyExW(key, subKey, 0, KEY_ALL_ACCESS, result);
}

LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM access, void*, PHKEY result,
                     LPDWORD disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    if (hasLineBreak(subKey)) return ERROR_INVALID_PARAMETER;
    int hive;
    std::wstring base;
    if (!resolve(key, hive, base)) return ERROR_INVALID_HANDLE;
    std::wstring path = subPath(base, subKey);
    std::lock_guard<std::mutex> lock(g_lock);
    Hive& h = current(hive);
    Hive::Key* k = h.findKey(path);
    bool created = false;
    if (!k) {
        k = &h.createKey(path);
        created = true;
        LONG rc = save(hive);
        if (rc != ERROR_SUCCESS) {
            g_hives[hive].loaded = false;  // forget the key that did not reach the file
            return rc;
        }
    }
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = new HKEY__{hive, k->path, access};
    return ERROR_SUCCESS;
}

LONG RegCreateKeyW(HKEY key, LPCWSTR subKey, PHKEY result) {
    return RegCreateKeyExW(key, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, result,
                           nullptr);
}

LONG RegCloseKey(HKEY key) {
    if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    if (!key) return ERROR_INVALID_HANDLE;
    delete key;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    if (data && !dataSize) return ERROR_INVALID_PARAMETER;
    int hive;
    std::wstring path;
    if (!resolve(key, hive, path)) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(g_lock);
    Hive::Key* k = current(hive).findKey(path);
    if (!k) return ERROR_FILE_NOT_FOUND;
    Hive::Value* v = Hive::findValue(*k, name ? name : L"");
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    DWORD size = static_cast<DWORD>(v->data.size());
    if (data) {
        if (*dataSize < size) {
            *dataSize = size;
            return ERROR_MORE_DATA;
        }
        if (size) std::memcpy(data, v->data.data(), size);
    }
    if (dataSize) *dataSize = size;
    return ERROR_SUCCESS;
}

LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD dataSize) {
    if (!data && dataSize) return ERROR_INVALID_PARAMETER;
    if (hasLineBreak(name)) return ERROR_INVALID_PARAMETER;
    int hive;
    std::wstring path;
    REGSAM access;
    if (!resolve(key, hive, path, &access)) return ERROR_INVALID_HANDLE;
    if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    std::lock_guard<std::mutex> lock(g_lock);
    Hive& h = current(hive);
    Hive::Key* k = h.findKey(path);
    if (!k) {
        if (!Hive::normalize(path).empty()) return ERROR_FILE_NOT_FOUND;
        k = &h.createKey(path);
    }
    Hive::setValue(*k, name ? name : L"", type, data, dataSize);
    LONG rc = save(hive);
    if (rc != ERROR_SUCCESS) g_hives[hive].loaded = false;
    return rc;
}

LONG RegDeleteValueW(HKEY key, LPCWSTR name) {
    int hive;
    std::wstring path;
    REGSAM access;
    if (!resolve(key, hive, path, &access)) return ERROR_INVALID_HANDLE;
    if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    std::lock_guard<std::mutex> lock(g_lock);
    Hive::Key* k = current(hive).findKey(path);
    if (!k || !Hive::deleteValue(*k, name ? name : L"")) return ERROR_FILE_NOT_FOUND;
    LONG rc = save(hive);
    if (rc != ERROR_SUCCESS) g_hives[hive].loaded = false;
    return rc;
}

LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD, LPDWORD type, LPBYTE data,
                   LPDWORD dataSize) {
    if (!name || !nameLength) return ERROR_INVALID_PARAMETER;
    if (data && !dataSize) return ERROR_INVALID_PARAMETER;
    int hive;
    std::wstring path;
    if (!resolve(key, hive, path)) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(g_lock);
    Hive::Key* k = current(hive).findKey(path);
    if (!k) return ERROR_FILE_NOT_FOUND;
    if (index >= k->values.size()) return ERROR_NO_MORE_ITEMS;
    const Hive::Value& v = k->values[index];
    DWORD size = static_cast<DWORD>(v.data.size());
    if (*nameLength <= v.name.size() || (data && *dataSize < size)) {
        if (dataSize) *dataSize = size;
        return ERROR_MORE_DATA;
    }
    std::wmemcpy(name, v.name.data(), v.name.size());
    name[v.name.size()] = L'\0';
    *nameLength = static_cast<DWORD>(v.name.size());
    if (type) *type = v.type;
    if (data && size) std::memcpy(data, v.data.data(), size);
    if (dataSize) *dataSize = size;
    return ERROR_SUCCESS;
}

LONG RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD classLength, LPDWORD, LPDWORD subKeys,
                      LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                      LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptor,
                      void* lastWriteTime) {
    int hive;
    std::wstring path;
    if (!resolve(key, hive, path)) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(g_lock);
    Hive& h = current(hive);
    Hive::Key* k = h.findKey(path);
    if (!k && !Hive::normalize(path).empty()) return ERROR_FILE_NOT_FOUND;
    if (keyClass && classLength && *classLength) keyClass[0] = L'\0';
    if (classLength) *classLength = 0;
    if (maxClassLength) *maxClassLength = 0;
    if (securityDescriptor) *securityDescriptor = 0;
    if (lastWriteTime) std::memset(lastWriteTime, 0, 8);
    if (subKeys) *subKeys = static_cast<DWORD>(h.subKeyCount(path));
    if (maxSubKeyLength) {
        std::wstring prefix = Hive::normalize(path);
        if (!prefix.empty()) prefix.push_back(L'\\');
        size_t longest = 0;
        for (const auto& e : h.keys()) {
            if (e.first.size() <= prefix.size() || e.first.compare(0, prefix.size(), prefix) != 0) continue;
            if (e.first.find(L'\\', prefix.size()) != std::wstring::npos) continue;
            longest = std::max(longest, e.first.size() - prefix.size());
        }
        *maxSubKeyLength = static_cast<DWORD>(longest);
    }
    size_t count = 0, longestName = 0, longestData = 0;
    if (k) {
        count = k->values.size();
        for (const auto& v : k->values) {
            longestName = std::max(longestName, v.name.size());
            longestData = std::max(longestData, v.data.size());
        }
    }
    if (values) *values = static_cast<DWORD>(count);
    if (maxValueNameLength) *maxValueNameLength = static_cast<DWORD>(longestName);
    if (maxValueLength) *maxValueLength = static_cast<DWORD>(longestData);
    return ERROR_SUCCESS;
}
