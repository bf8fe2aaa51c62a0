#include "base/CBBLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/CRegistry.h"
#include "base/Format.h"
#include "base/Log.h"
#include "base/PMutexLocker.h"
#include "base/PMutexUnlocker.h"
#include "base/Text.h"
#include "platform/fs/Fs.h"

namespace {

// The level names as the prefix prints them ("%-5.5s"); the last one for a level out of range.
const char kPaddedLevelNames[][6] = {"FATAL", "ERROR", "WARN ", "INFO ", "DEBUG", "     "};

const char* paddedLevelName(int level) {
    return kPaddedLevelNames[level >= 0 && level <= 4 ? level : 5];
}

// While the writer is busy, lines gather this long before it looks again, instead of each
// caller waking it for every line.
constexpr long kGatherMilliseconds = 2;
// A queue buffer that grew past this in a burst is given back once written; below it, the two
// buffers that take turns between the callers and the writer keep their size, so queuing a
// line does not copy the lines queued before it.
constexpr size_t kKeptQueueBytes = 8 << 20;
// A calling thread keeps a line buffer of up to this size.
constexpr size_t kKeptLineBytes = 1 << 20;

// Opens for appending and takes a shared lock; a file someone holds under an exclusive lock is
// refused. Answers the descriptor or -1.
int openShared(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int64_t sizeOf(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

// The ".back" name of a log: its path cut to 255 characters, then ".back".
std::string backName(const std::string& path) {
    return path.substr(0, 255) + ".back";
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

wchar_t* messageBuffer() {
    // One per thread that logs, made on its first message; the host's other threads pay nothing.
    thread_local std::unique_ptr<wchar_t[]> buffer;
    if (!buffer) buffer.reset(new wchar_t[CBBLog::kMessageChars + 1]);
    return buffer.get();
}

}  // namespace

CBBLog::CBBLog(const std::wstring& fileName, bool showProcessId, int64_t maxSize)
    : m_fileName(fileName),
      m_showProcessId(showProcessId),
      m_maxSize(maxSize),
      m_processId(static_cast<unsigned>(getpid())) {}

CBBLog::~CBBLog() {
    {
        PMutexLocker lock(m_queueLock);
        m_stop = true;
        m_queueLock.broadcast();
    }
    if (m_writer) m_writer->join();
    if (m_main.fd >= 0) close(m_main.fd);
    if (m_error.fd >= 0) close(m_error.fd);
}

void CBBLog::log(int level, const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vlog(fmt, args, level);
    va_end(args);
}

void CBBLog::debug(const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vlog(fmt, args, 4);
    va_end(args);
}

void CBBLog::writeRaw(const std::string& text) {
    if (m_mainOpen.load(std::memory_order_acquire)) enqueue(text.data(), text.size());
}

void CBBLog::setLevel(int level) {
    m_level.store(level, std::memory_order_relaxed);
    loggerLevelChanged(*this);
}

void CBBLog::vlog(const wchar_t* fmt, va_list args, int level) {
    if (m_level.load(std::memory_order_relaxed) == -1) loadLevel();
    if (level > m_level.load(std::memory_order_relaxed)) return;
    wchar_t* buffer = messageBuffer();
    size_t length = VFormatWide(buffer, kMessageChars + 1, fmt, args);
    emit(level, buffer, length);
}

void CBBLog::log(const boost::wformat& message, int level) {
    if (m_level.load(std::memory_order_relaxed) == -1) loadLevel();
    if (level > m_level.load(std::memory_order_relaxed)) return;
    std::wstring text;
    try {
        text = message.str();
    } catch (const boost::io::format_error&) {
        // Too few arguments fed to the format: log what the caller meant rather than nothing.
        text = L"(bad format)";
    }
    emit(level, text.c_str(), std::min(text.size(), kMessageChars));
}

void CBBLog::loadLevel() {
    int32_t value = 1;
    if (!readRegistryDWORD(L"Software\\Kelvarin\\Pelmo", L"LogLevel", value)) value = 1;
    // The value is an unsigned DWORD: anything above DEBUG (0xffffffff included, which would
    // otherwise read as "not loaded yet") means every level.
    const int level = static_cast<uint32_t>(value) > LOG_DEBUG ? LOG_DEBUG : value;
    int expected = -1;
    if (m_level.compare_exchange_strong(expected, level, std::memory_order_relaxed))
        loggerLevelChanged(*this);
}

void CBBLog::emit(int level, const wchar_t* message, size_t length) {
    if (!m_opened.load(std::memory_order_acquire)) openLogs();
    bool mainOpen = m_mainOpen.load(std::memory_order_acquire);
    if (!mainOpen && !m_errorOpen.load(std::memory_order_acquire)) return;

    // Built in a buffer of the calling thread that keeps its size from line to line.
    thread_local std::vector<char> buffer;
    const size_t room = 128 + m_exeBaseName.size() + 3 + length * kUtf8BytesPerWide + 1;
    if (buffer.size() < room) buffer.resize(room);
    char* line = buffer.data();
    size_t n = buildPrefix(line, 128, level);
    if (level == 0) {
        std::memcpy(line + n, m_exeBaseName.data(), m_exeBaseName.size());
        n += m_exeBaseName.size();
        std::memcpy(line + n, " - ", 3);
        n += 3;
    }
    n += WriteWideAsUtf8(line + n, message, length);
    line[n++] = '\n';

    if (mainOpen) enqueue(line, n);
    if (level == 0) writeError(std::string(line, n));
    if (buffer.size() > kKeptLineBytes) std::vector<char>().swap(buffer);
}

size_t CBBLog::buildPrefix(char* out, size_t size, int level) const {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    // The date and time up to the second change once a second: each thread keeps its last one
    // rather than convert the clock to local time on every line.
    thread_local time_t cachedSecond = -1;
    thread_local char cachedText[64];
    thread_local size_t cachedLength = 0;
    if (now.tv_sec != cachedSecond) {
        tm local;
        localtime_r(&now.tv_sec, &local);
        int n = std::snprintf(cachedText, sizeof cachedText, "%04d/%02d/%02d %02d:%02d:%02d",
                              local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                              local.tm_min, local.tm_sec);
        cachedLength = n > 0 ? std::min(static_cast<size_t>(n), sizeof cachedText - 1) : 0;
        cachedSecond = now.tv_sec;
    }
    // "<date time>.mmm [LEVEL] - ", or "<date time>.mmm [LEVEL] <pid> - ".
    const int millis = static_cast<int>(now.tv_nsec / 1000000);
    char pid[16] = "";
    size_t pidLength = 0;
    if (m_showProcessId) {
        int n = std::snprintf(pid, sizeof pid, " %u", m_processId);
        pidLength = n > 0 ? static_cast<size_t>(n) : 0;
    }
    const size_t total = cachedLength + 4 + 8 + pidLength + 3;
    if (total >= size) return 0;
    char* p = out;
    std::memcpy(p, cachedText, cachedLength);
    p += cachedLength;
    *p++ = '.';
    *p++ = static_cast<char>('0' + millis / 100);
    *p++ = static_cast<char>('0' + millis / 10 % 10);
    *p++ = static_cast<char>('0' + millis % 10);
    *p++ = ' ';
    *p++ = '[';
    std::memcpy(p, paddedLevelName(level), 5);
    p += 5;
    *p++ = ']';
    std::memcpy(p, pid, pidLength);
    p += pidLength;
    std::memcpy(p, " - ", 3);
    p += 3;
    *p = '\0';
    return static_cast<size_t>(p - out);
}

void CBBLog::enqueue(const char* line, size_t size) {
    PMutexLocker lock(m_queueLock);
    m_queue.append(line, size);
    m_queueEnds.push_back(m_queue.size());
    if (m_writerIdle) {
        m_writerIdle = false;
        m_queueLock.signal();
    }
}

void CBBLog::openLogs() {
    PMutexLocker lock(m_fileMutex);
    if (m_opened.load(std::memory_order_relaxed)) return;
    std::string appData;
    if (!GetAppDataFolder(appData)) {
        m_opened.store(true, std::memory_order_release);
        return;
    }
    m_exeBaseName = GetExecutableBaseName();
    // Paths stay the bytes the file system gave: a folder name that is not valid UTF-8 (or holds
    // a four-byte character) must not be cut by a round trip through wide text.
    std::string folder = JoinPath(JoinPath(appData, "Kelvarin"), "Logs");
    CreateFolders(folder);
    std::string name = m_fileName.empty() ? m_exeBaseName + ".log" : WideToUtf8(m_fileName);

    bool mainOpen = openWithFallback(m_main, JoinPath(folder, name));
    bool errorOpen = openWithFallback(m_error, JoinPath(folder, "PelmoErrors.log"));
    if (mainOpen) {
        try {
            m_writer.reset(
                new PThread(nullptr, PThreadDelegateMember<CBBLog>(this, &CBBLog::writerLoop), nullptr));
        } catch (const std::exception&) {
            // Without a writer nothing would ever leave the queue: treat the main log as closed.
            close(m_main.fd);
            m_main.fd = -1;
            mainOpen = false;
        }
    }
    m_mainOpen.store(mainOpen, std::memory_order_release);
    m_errorOpen.store(errorOpen, std::memory_order_release);
    m_opened.store(true, std::memory_order_release);
}

bool CBBLog::openWithFallback(LogFile& file, const std::string& path) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::string candidate = attempt == 0 ? path : path + std::to_string(attempt);
        int fd = openShared(candidate);
        if (fd < 0) continue;
        int64_t size = sizeOf(fd);
        if (size > m_maxSize) {
            // Too big already: keep it as the ".back" generation and start afresh.
            close(fd);
            if (rename(candidate.c_str(), backName(candidate).c_str()) != 0) continue;
            fd = openShared(candidate);
            if (fd < 0) continue;
            size = sizeOf(fd);
        }
        file.fd = fd;
        file.bytes = size;
        file.path = candidate;
        return true;
    }
    file.fd = -1;
    file.bytes = 0;
    file.path.clear();
    return false;
}

bool CBBLog::writeLine(LogFile& file, const std::string& line) {
    if (file.fd < 0) return false;
    writeAll(file.fd, line.data(), line.size());
    file.bytes += static_cast<int64_t>(line.size());
    return file.bytes < m_maxSize;
}

bool CBBLog::rotate(LogFile& file) {
    if (file.fd >= 0) close(file.fd);
    file.fd = -1;
    std::string path = file.path;
    rename(path.c_str(), backName(path).c_str());
    return openWithFallback(file, path);
}

void CBBLog::writeError(const std::string& line) {
    PMutexLocker lock(m_fileMutex);
    if (!m_errorOpen.load(std::memory_order_relaxed)) return;
    if (!writeLine(m_error, line) && !rotate(m_error)) m_errorOpen.store(false, std::memory_order_release);
}

int32_t CBBLog::writerLoop(void*) {
    std::string batch;
    std::vector<size_t> ends;
    PMutexLocker lock(m_queueLock);
    for (;;) {
        while (m_queueEnds.empty() && !m_stop) {
            m_writerIdle = true;
            m_queueLock.wait();
        }
        m_writerIdle = false;
        if (m_queueEnds.empty()) break;  // stopped, and everything queued is written
        // Everything queued so far is taken at once; the emptied buffers go back to the callers.
        batch.swap(m_queue);
        ends.swap(m_queueEnds);
        {
            PMutexUnlocker unlock(m_queueLock);
            writeBatch(batch, ends);
            batch.clear();
            ends.clear();
            if (batch.capacity() > kKeptQueueBytes) {
                std::string().swap(batch);
                std::vector<size_t>().swap(ends);
            }
        }
        if (!m_stop) m_queueLock.timedWait(kGatherMilliseconds);
    }
    return 0;
}

void CBBLog::writeBatch(const std::string& text, const std::vector<size_t>& ends) {
    // Lines are gathered into one write for as long as they stay in one file; a line that brings
    // the file to the maximum ends the write, and the file is rotated before the next line.
    size_t written = 0, counted = 0;
    for (size_t end : ends) {
        if (!m_mainOpen.load(std::memory_order_relaxed)) return;
        m_main.bytes += static_cast<int64_t>(end - counted);
        counted = end;
        if (m_main.bytes < m_maxSize) continue;
        writeAll(m_main.fd, text.data() + written, end - written);
        written = end;
        // The path may change in a rotation; readers of it hold the file mutex.
        PMutexLocker files(m_fileMutex);
        if (!rotate(m_main)) m_mainOpen.store(false, std::memory_order_release);
    }
    if (written < counted && m_mainOpen.load(std::memory_order_relaxed))
        writeAll(m_main.fd, text.data() + written, counted - written);
}

std::string CBBLog::mainLogPath() {
    PMutexLocker lock(m_fileMutex);
    return m_mainOpen.load() ? m_main.path : std::string();
}

std::string CBBLog::errorLogPath() {
    PMutexLocker lock(m_fileMutex);
    return m_errorOpen.load() ? m_error.path : std::string();
}
