#include "platform/sbe/TimeShiftWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/Log.h"

namespace {
constexpr int64_t kPtsWrap = int64_t(1) << 33;
constexpr size_t kFlushBytes = 64 * 1024;

// PTS distance from the origin in 100 ns, across the 33-bit wrap; slightly earlier
// presentation times (pictures reordered around a key frame) come out negative.
int64_t positionOf(int64_t pts, int64_t origin) {
    int64_t d = ((pts - origin) % kPtsWrap + kPtsWrap) % kPtsWrap;
    if (d > kPtsWrap / 2) d -= kPtsWrap;
    return d * 1000 / 9;
}

bool writeAll(int fd, const uint8_t* data, size_t size, int& err) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            return false;
        }
        if (n == 0) {
            err = ENOSPC;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}
}  // namespace

TimeShiftWriter::TimeShiftWriter(std::string path, BufferSettings settings,
                                 std::function<std::vector<uint8_t>()> headers)
    : m_path(std::move(path)), m_settings(settings), m_headers(std::move(headers)) {}

TimeShiftWriter::~TimeShiftWriter() {
    finish();
}

bool TimeShiftWriter::start(std::string& error) {
    if (!m_manifest.write(m_path, error)) return false;
    m_started = true;
    return true;
}

uint64_t TimeShiftWriter::bytesOnDisk() const {
    uint64_t total = 0;
    for (int64_t b : m_segmentBytes) total += static_cast<uint64_t>(b);
    return total;
}

void TimeShiftWriter::fail(const std::string& what, int err) {
    if (m_failed) return;
    m_failed = true;
    int64_t kept =
        m_manifest.segments.empty() ? 0 : m_manifest.segments.back().firstByte + m_open.durableBytes;
    error(
        L"StreamBufferSink: writing %S failed (%S); the time-shift buffer stops at %lld bytes and keeps what "
        L"it has",
        what.c_str(), std::strerror(err), static_cast<long long>(kept));
    // Cut off a torn packet or record so that readers find whole ones only, and tell them
    // that nothing more comes (when even the manifest cannot be written, it keeps its last state).
    if (m_open.ts >= 0 && ::ftruncate(m_open.ts, m_open.durableBytes) != 0) {
    }
    if (m_open.idx >= 0 && ::ftruncate(m_open.idx, m_open.durableIndex) != 0) {
    }
    m_pending.clear();
    m_manifest.live = false;
    std::string ignored;
    m_manifest.write(m_path, ignored);
}

bool TimeShiftWriter::flush() {
    if (m_pending.empty() || m_open.ts < 0 || m_failed) return !m_failed;
    int err = 0;
    if (!writeAll(m_open.ts, m_pending.data(), m_pending.size(), err)) {
        fail(BufferManifest::segmentPath(m_path, m_manifest.segments.back().number), err);
        return false;
    }
    m_open.durableBytes += static_cast<int64_t>(m_pending.size());
    m_segmentBytes.back() = m_open.durableBytes;
    m_pending.clear();
    return true;
}

void TimeShiftWriter::appendIndex(int64_t position, int64_t offset) {
    uint8_t record[16];
    uint64_t v[2] = {static_cast<uint64_t>(position), static_cast<uint64_t>(offset)};
    for (int k = 0; k < 2; ++k)
        for (int i = 0; i < 8; ++i) record[k * 8 + i] = static_cast<uint8_t>(v[k] >> (8 * i));
    int err = 0;
    if (!writeAll(m_open.idx, record, sizeof record, err)) {
        fail(BufferManifest::indexPath(m_path, m_manifest.segments.back().number), err);
        return;
    }
    m_open.durableIndex += sizeof record;
}

void TimeShiftWriter::closeSegment() {
    flush();
    if (m_open.ts >= 0) ::close(m_open.ts);
    if (m_open.idx >= 0) ::close(m_open.idx);
    m_open = Open{};
}

void TimeShiftWriter::startSegment(int64_t position) {
    closeSegment();
    if (m_failed) return;
    uint32_t number = m_nextNumber++;
    std::string ts = BufferManifest::segmentPath(m_path, number);
    std::string idx = BufferManifest::indexPath(m_path, number);
    m_open.ts = ::open(ts.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_open.ts < 0) return fail(ts, errno);
    m_open.idx = ::open(idx.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_open.idx < 0) return fail(idx, errno);
    m_manifest.segments.push_back({number, m_nextFirstByte, position});
    m_segmentBytes.push_back(0);
    m_pending = m_headers ? m_headers() : std::vector<uint8_t>();
    m_nextFirstByte += static_cast<int64_t>(m_pending.size());
}

void TimeShiftWriter::write(const uint8_t* packet, bool randomAccess, int64_t pts) {
    if (!m_started || m_failed || m_finished) return;
    int64_t position = 0;
    if (pts >= 0) {
        if (m_manifest.originPts < 0) {
            if (!randomAccess) return;
            m_manifest.originPts = pts;
        }
        position = positionOf(pts, m_manifest.originPts);
    }
    if (m_manifest.segments.empty() && !randomAccess) return;  // a file starts at a key frame
    bool newSegment =
        randomAccess && (m_manifest.segments.empty() ||
                         position - m_manifest.segments.back().position >= m_settings.segmentLength);
    if (newSegment) {
        startSegment(position);
        if (m_failed) return;
    }
    int64_t offset = m_nextFirstByte;
    m_pending.insert(m_pending.end(), packet, packet + 188);
    m_nextFirstByte += 188;
    if (randomAccess) {
        if (!flush()) return;
        appendIndex(position, offset);
        if (m_failed) return;
        if (position > m_manifest.latest) m_manifest.latest = position;
        if (newSegment) dropOldSegments();
        saveManifest();
    } else if (m_pending.size() >= kFlushBytes) {
        flush();
    }
}

void TimeShiftWriter::dropOldSegments() {
    std::vector<BufferSegment> gone;
    while (m_manifest.segments.size() > 1) {
        bool pastWindow = m_manifest.latest - m_manifest.segments[1].position >= m_settings.window;
        bool tooBig = bytesOnDisk() > m_settings.maxBytes;
        if (!pastWindow && !tooBig) break;
        gone.push_back(m_manifest.segments.front());
        m_manifest.segments.erase(m_manifest.segments.begin());
        m_segmentBytes.erase(m_segmentBytes.begin());
    }
    if (gone.empty()) return;
    // Readers learn of the deletion from the manifest before the files go.
    saveManifest();
    for (const BufferSegment& s : gone) {
        ::unlink(BufferManifest::segmentPath(m_path, s.number).c_str());
        ::unlink(BufferManifest::indexPath(m_path, s.number).c_str());
    }
}

void TimeShiftWriter::saveManifest() {
    std::string why;
    if (!m_manifest.write(m_path, why)) fail(why, errno ? errno : EIO);
}

void TimeShiftWriter::finish() {
    if (!m_started || m_finished) return;
    closeSegment();
    m_finished = true;
    m_manifest.live = false;
    std::string why;
    if (!m_failed && !m_manifest.write(m_path, why)) error(L"StreamBufferSink: cannot write %S", why.c_str());
}

void TimeShiftWriter::removeFiles() {
    closeSegment();
    m_finished = true;
    for (const BufferSegment& s : m_manifest.segments) {
        ::unlink(BufferManifest::segmentPath(m_path, s.number).c_str());
        ::unlink(BufferManifest::indexPath(m_path, s.number).c_str());
    }
    m_manifest.segments.clear();
    m_segmentBytes.clear();
    if (m_started) ::unlink(m_path.c_str());
}
