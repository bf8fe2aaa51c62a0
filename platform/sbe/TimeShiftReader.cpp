#include "platform/sbe/TimeShiftReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>

#include "base/Log.h"

namespace {
constexpr auto kLiveEdgePoll = std::chrono::milliseconds(10);
// Opening a buffer that nobody fills must not hang its caller.
constexpr int kProbeWaits = 1000;  // of kLiveEdgePoll
}  // namespace

TimeShiftReader::TimeShiftReader(std::string path) : m_path(std::move(path)) {}

TimeShiftReader::~TimeShiftReader() {
    closeSegment();
}

bool TimeShiftReader::open(std::string& error) {
    if (!BufferManifest::read(m_path, m_last, error)) return false;
    m_position = m_last.segments.empty() ? 0 : m_last.segments.front().firstByte;
    return true;
}

bool TimeShiftReader::manifest(BufferManifest& out) {
    std::string why;
    if (BufferManifest::read(m_path, out, why)) {
        m_last = out;
        return true;
    }
    struct stat st;
    if (::stat(m_path.c_str(), &st) != 0) return false;  // deleted
    // Present but unreadable: the writer replaces it atomically, so this is damage.
    end("the buffer's manifest is damaged (" + why + ")");
    return false;
}

void TimeShiftReader::closeSegment() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

int TimeShiftReader::end(const std::string& reason) {
    if (m_endReason.empty()) {
        m_endReason = reason;
        error(L"StreamBufferSource: %S: %S; the stream ends", m_path.c_str(), reason.c_str());
    }
    return kEnd;
}

void TimeShiftReader::seek(int64_t offset) {
    closeSegment();
    m_position = offset < 0 ? 0 : offset;
}

bool TimeShiftReader::openSegment(const BufferManifest& m) {
    if (m.segments.empty()) return false;
    const BufferSegment* at = nullptr;
    for (const BufferSegment& s : m.segments)
        if (s.firstByte <= m_position) at = &s;
    if (!at) {
        // What we wanted was deleted: go on with the oldest data there is.
        at = &m.segments.front();
        info(L"StreamBufferSource: fell behind the window of %S, continuing at byte %lld", m_path.c_str(),
             static_cast<long long>(at->firstByte));
        m_position = at->firstByte;
    }
    int fd = ::open(BufferManifest::segmentPath(m_path, at->number).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    m_fd = fd;
    m_segment = at->number;
    m_segmentFirstByte = at->firstByte;
    return true;
}

bool TimeShiftReader::segmentDropped() {
    // The writer names the remaining segments in the manifest before it deletes a file, so a
    // deleted file is one the manifest no longer has.
    struct stat st;
    const bool dropped = ::fstat(m_fd, &st) == 0 && st.st_nlink == 0;
    if (m_droppedHook) m_droppedHook();
    return dropped;
}

bool TimeShiftReader::waitForData() {
    if (m_waitHook) m_waitHook();
    if (m_probing && ++m_probeWaits > kProbeWaits) return false;
    std::unique_lock<std::mutex> guard(m_stopLock);
    return !m_stopWake.wait_for(guard, kLiveEdgePoll, [this] { return m_stop; });
}

int TimeShiftReader::read(uint8_t* buffer, int size) {
    if (size <= 0) return kEnd;
    for (;;) {
        if (stopRequested()) return kStopped;
        if (!m_endReason.empty()) return kEnd;
        if (m_fd < 0) {
            BufferManifest m;
            if (!manifest(m)) return end("the buffer was deleted");
            if (!openSegment(m)) {
                if (!m.live && m.segments.empty()) return end("the buffer is empty");
                if (!waitForData()) return stopOrGiveUp();
                continue;
            }
        }
        if (segmentDropped()) {
            // The window moved past this segment while we held it open: what is left of it is
            // no longer in the buffer, so go on with the oldest data that is.
            closeSegment();
            continue;
        }
        ssize_t n = ::pread(m_fd, buffer, static_cast<size_t>(size), m_position - m_segmentFirstByte);
        if (n < 0) return end(std::string("read error: ") + std::strerror(errno));
        if (n > 0) {
            // Segments hold whole packets, so every 188th byte of the buffer is a sync byte.
            for (int64_t i = (188 - m_position % 188) % 188; i < n; i += 188)
                if (buffer[i] != 0x47)
                    return end("the buffer is damaged at byte " + std::to_string(m_position + i));
            m_position += n;
            return static_cast<int>(n);
        }
        // At the end of what this segment holds so far.
        BufferManifest m;
        if (!manifest(m)) return end("the buffer was deleted");
        const BufferSegment* next = nullptr;
        for (const BufferSegment& s : m.segments)
            if (s.number > m_segment) {
                next = &s;
                break;
            }
        if (next) {
            // The writer finishes a segment before it names the next one; read what came
            // in between before moving on.
            n = ::pread(m_fd, buffer, static_cast<size_t>(size), m_position - m_segmentFirstByte);
            if (n > 0) continue;
            closeSegment();
            if (next->firstByte != m_position)
                info(L"StreamBufferSource: fell behind the window of %S, continuing at byte %lld",
                     m_path.c_str(), static_cast<long long>(next->firstByte));
            m_position = next->firstByte;
            continue;
        }
        if (!m.live) return kEnd;
        if (!waitForData()) return stopOrGiveUp();
    }
}

bool TimeShiftReader::findKeyFrame(int64_t position, IndexEntry& found) {
    BufferManifest m;
    if (!manifest(m) || m.segments.empty()) return false;
    bool have = false;
    for (size_t i = m.segments.size(); i-- > 0;) {
        if (m.segments[i].position > position && i > 0) continue;
        for (const IndexEntry& e :
             BufferManifest::readIndex(BufferManifest::indexPath(m_path, m.segments[i].number))) {
            if (!have || e.position <= position) {
                found = e;
                have = true;
            }
            if (e.position > position) break;
        }
        if (have) return true;
    }
    // The segment went while we looked (the window moved on): the oldest key frame still there.
    for (const BufferSegment& s : m.segments) {
        auto entries = BufferManifest::readIndex(BufferManifest::indexPath(m_path, s.number));
        if (!entries.empty()) {
            found = entries.front();
            return true;
        }
    }
    return false;
}

int TimeShiftReader::stopOrGiveUp() {
    if (stopRequested()) return kStopped;
    // Said once: the demuxer asks again after the end, and every ask ends at once.
    if (m_probeWaits == kProbeWaits + 1)
        warn(L"StreamBufferSource: %S: no data came while the buffer was being opened", m_path.c_str());
    return kEnd;
}

void TimeShiftReader::requestStop() {
    {
        std::lock_guard<std::mutex> guard(m_stopLock);
        m_stop = true;
    }
    m_stopWake.notify_all();
}

void TimeShiftReader::clearStop() {
    std::lock_guard<std::mutex> guard(m_stopLock);
    m_stop = false;
}

void TimeShiftReader::awaitStop() {
    std::unique_lock<std::mutex> guard(m_stopLock);
    m_stopWake.wait(guard, [this] { return m_stop; });
}

bool TimeShiftReader::stopRequested() {
    std::lock_guard<std::mutex> guard(m_stopLock);
    return m_stop;
}
