// Stopping the Video Control, taking apart what StartTimeShift configured, and removing the
// stream buffer's old temporary files.
#include <dirent.h>
#include <fnmatch.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "base/Log.h"
#include "base/Text.h"
#include "platform/sbe/SbePath.h"
#include "tvctl/CTVCtl.h"

namespace {

// 100-ns units between 1601-01-01 (the platform's file-time origin) and 1970-01-01.
constexpr int64_t kFileTimeOf1970 = 116444736000000000LL;

int64_t fileTime(const timespec& t) {
    return kFileTimeOf1970 + int64_t(t.tv_sec) * 10000000 + t.tv_nsec / 100;
}

}  // namespace

CTVCtl::~CTVCtl() {
    // Bus handlers use this object's members: no handler may start or still run from here on.
    Disconnect();
    stopTimeShift();
    info(L"CTVCtl::~CTVCtl clearing cache files");
    clearTemporaryFiles();
}

HRESULT CTVCtl::stopTVControl() {
    if (!m_TVControl) return 0;
    HRESULT hr = m_TVControl->Stop();
    info(L"stop TVControl returned %X", hr);
    if (SUCCEEDED(hr)) return hr;
    return StopWithFilterGraph();
}

HRESULT CTVCtl::stopTimeShift() {
    info(L"stopTimeShift");
    if (!m_TVControl) return 0;
    // A running scan tunes through the tune request deleted below: it ends first, and no bus
    // request can start another one from here on.
    std::unique_ptr<TuneRequest> tuneRequest;
    {
        std::lock_guard<std::mutex> guard(m_tuneLock);
        tuneRequest = std::move(m_tuneRequest);
    }
    m_channelScan.stopScanChannels();
    m_channelScan.waitScanEnded();

    HRESULT hr = m_TVControl->Stop();
    info(L"stop TVControl returned %X", hr);
    if (FAILED(hr)) {
        hr = StopWithFilterGraph();
        if (FAILED(hr)) error(L"stopTVControl failed %X", hr);
    }
    hr = m_TVControl->Decompose();
    if (FAILED(hr)) error(L"TVControl->Decompose() failed %X", hr);
    m_sink = nullptr;
    m_inputDevice = nullptr;
    if (SUCCEEDED(deActivateOutput()))
        info(L"succeeded to deActivateOutput ");
    else
        error(L"Failed to deActivateOutput ");
    if (SUCCEEDED(removeEncoder()))
        info(L"succeeded to removeEncoder ");
    else
        error(L"Failed to removeEncoder ");
    tuneRequest.reset();
    info(L"stopTimeShift returned");
    return 0;
}

bool CTVCtl::TemporaryFolder(std::wstring& folder) {
    std::string user;
    if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_name && *pw->pw_name) user = pw->pw_name;
    if (user.empty()) return false;
    if (user.size() > 256) user.resize(256);
    std::wstring name =
        L"c:\\Documents and Settings\\" + NarrowToWide(user) + L"\\Local Settings\\Temp\\TempSBE\\";
    std::string path = SbeFilePath(name);
    for (size_t twice; (twice = path.find("//")) != std::string::npos;) path.erase(twice, 1);
    folder = NarrowToWide(path);
    return true;
}

void CTVCtl::clearTemporaryFiles() {
    std::wstring folder;
    if (!TemporaryFolder(folder)) return;
    RemoveOldFiles(folder, L"*.tmp", kTemporaryFileMaxAge);
}

void CTVCtl::RemoveOldFiles(const std::wstring& folder, const std::wstring& pattern, int64_t maxAge) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const int64_t nowFileTime = fileTime(now);
    std::string dir = WideToUtf8(folder);
    std::string glob = WideToUtf8(pattern);
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (const dirent* entry = ::readdir(d)) {
        if (::fnmatch(glob.c_str(), entry->d_name, FNM_PERIOD) != 0) continue;
        std::string path = dir;
        if (!path.empty() && path.back() != '/') path += '/';
        path += entry->d_name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
        // The file's last write stands for its creation: temporary files are written once,
        // and the creation time cannot be read on every file system.
        if (fileTime(st.st_mtim) + maxAge < nowFileTime) ::unlink(path.c_str());
    }
    ::closedir(d);
}
