#include "platform/sbe/ContentRecorder.h"

#include <cerrno>
#include <cstring>

#include "base/Log.h"
#include "platform/sbe/SbePath.h"

ContentRecorder::ContentRecorder(std::wstring fileName, std::function<std::vector<uint8_t>()> headers)
    : m_fileName(std::move(fileName)), m_headers(std::move(headers)) {}

ContentRecorder::~ContentRecorder() {
    std::lock_guard<std::mutex> guard(m_lock);
    stopLocked();
}

HRESULT ContentRecorder::get_StartTime(LONG* seconds) {
    if (!seconds) return E_POINTER;
    std::lock_guard<std::mutex> guard(m_lock);
    *seconds = m_startSeconds;
    return S_OK;
}

HRESULT ContentRecorder::put_StartTime(LONG seconds) {
    if (seconds < 0) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_state != State::Idle) return E_UNEXPECTED;
    std::string path = SbeFilePath(m_fileName);
    m_file = std::fopen(path.c_str(), "wb");
    if (!m_file) {
        int err = errno;
        error(L"ContentRecorder: cannot create %s: %S", m_fileName.c_str(), std::strerror(err));
        m_state = State::Stopped;
        return HRESULT_FROM_WIN32(err == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
    }
    m_startSeconds = seconds;
    m_state = State::Waiting;
    info(L"ContentRecorder: recording into %s", m_fileName.c_str());
    return S_OK;
}

HRESULT ContentRecorder::get_StopTime(LONG* seconds) {
    if (!seconds) return E_POINTER;
    std::lock_guard<std::mutex> guard(m_lock);
    *seconds = m_stopSeconds;
    return S_OK;
}

HRESULT ContentRecorder::put_StopTime(LONG seconds) {
    if (seconds < 0) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(m_lock);
    m_stopSeconds = seconds;
    if (seconds == 0) stopLocked();
    return S_OK;
}

HRESULT ContentRecorder::get_RecordingStopped(VARIANT_BOOL* stopped) {
    if (!stopped) return E_POINTER;
    std::lock_guard<std::mutex> guard(m_lock);
    *stopped = m_state == State::Stopped ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT ContentRecorder::get_RecordingStarted(VARIANT_BOOL* started) {
    if (!started) return E_POINTER;
    std::lock_guard<std::mutex> guard(m_lock);
    *started = m_state == State::Recording || m_state == State::Stopped ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT ContentRecorder::get_FileName(BSTR* name) {
    if (!name) return E_POINTER;
    *name = SysAllocString(m_fileName.c_str());
    return S_OK;
}

namespace {
// The PID of a packet that begins a PES packet, or -1.
int pesStartPid(const uint8_t* p) {
    if (p[0] != 0x47 || !(p[1] & 0x40)) return -1;
    int control = (p[3] >> 4) & 3;
    if (!(control & 1)) return -1;
    size_t offset = 4;
    if (control & 2) offset += 1 + size_t(p[4]);
    if (offset + 3 > 188 || p[offset] != 0 || p[offset + 1] != 0 || p[offset + 2] != 1) return -1;
    return ((p[1] & 0x1f) << 8) | p[2];
}
}  // namespace

bool ContentRecorder::writeLocked(const uint8_t* data, size_t size) {
    if (size == 0 || std::fwrite(data, 1, size, m_file) == size) return true;
    error(L"ContentRecorder: writing %s failed", m_fileName.c_str());
    stopLocked();
    return false;
}

void ContentRecorder::stopLocked() {
    m_pending.clear();
    if (m_file) {
        bool ok = std::fflush(m_file) == 0;
        ok = std::fclose(m_file) == 0 && ok;
        m_file = nullptr;
        if (!ok)
            error(L"ContentRecorder: writing %s failed", m_fileName.c_str());
        else
            info(L"ContentRecorder: recording %s ended", m_fileName.c_str());
    }
    if (m_state != State::Idle) m_state = State::Stopped;
}

void ContentRecorder::sinkEnded() {
    std::lock_guard<std::mutex> guard(m_lock);
    stopLocked();
}

void ContentRecorder::write(const uint8_t* packet, bool randomAccess, int64_t pts, int64_t position) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_state == State::Waiting) {
        if (pts < 0) return;
        if (m_firstSeen < 0) m_firstSeen = position;
        if (!randomAccess || position - m_firstSeen < int64_t(m_startSeconds) * 10000000) return;
        m_state = State::Recording;
        m_startPosition = position;
        std::vector<uint8_t> header = m_headers ? m_headers() : std::vector<uint8_t>();
        if (!writeLocked(header.data(), header.size())) return;
    }
    if (m_state != State::Recording) return;
    int pid = pesStartPid(packet);
    auto held = m_pending.find(pid >= 0 ? pid : ((packet[1] & 0x1f) << 8) | packet[2]);
    if (pid >= 0 && held != m_pending.end()) {
        // The stream's previous PES packet is whole now.
        if (!writeLocked(held->second.data(), held->second.size())) return;
        held->second.clear();
    }
    // Ends at a key frame so that the last picture is whole.
    if (m_stopSeconds > 0 && randomAccess && pts >= 0 &&
        position - m_startPosition >= int64_t(m_stopSeconds) * 10000000) {
        stopLocked();
        return;
    }
    if (pid >= 0)
        m_pending[pid].assign(packet, packet + 188);
    else if (held != m_pending.end())
        held->second.insert(held->second.end(), packet, packet + 188);
    else
        writeLocked(packet, 188);
}
