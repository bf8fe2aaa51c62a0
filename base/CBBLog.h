// The process-wide logger. Callers format their line on their own thread; a writer thread of
// the logger appends it to the log file, so a caller never waits for the disk (fatal lines
// excepted: they also go to the shared error log at once).
//
// Files live in <application-data folder>/Kelvarin/Logs/. A file larger than the maximum size
// at opening is moved to "<name>.back" first; while writing, a file is moved there as soon as it
// reaches the maximum. A log file that another process holds under an exclusive lock (flock)
// is not written: the names "<name>1" ... "<name>9" are tried instead. The logger itself holds
// its files under a shared lock, so several processes may write one file, as they do the
// shared error log "PelmoErrors.log".
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <vector>
#include <memory>
#include <string>

#include <boost/format.hpp>

#include "base/PCondMutex.h"
#include "base/PMutex.h"
#include "base/PThread.h"

class CBBLog {
public:
    // fileName empty: the executable's base name + ".log". maxSize applies to both files.
    CBBLog(const std::wstring& fileName, bool showProcessId, int64_t maxSize);
    virtual ~CBBLog();
    CBBLog(const CBBLog&) = delete;
    CBBLog& operator=(const CBBLog&) = delete;

    virtual void log(int level, const wchar_t* fmt, ...);
    virtual void debug(const wchar_t* fmt, ...);
    // Queued as it is, without prefix or line end, when the main log is open.
    virtual void writeRaw(const std::string& text);
    virtual void setLevel(int level);
    virtual void vlog(const wchar_t* fmt, va_list args, int level);
    virtual void log(const boost::wformat& message, int level);
    // Appends one finished line to the error log.
    virtual void writeError(const std::string& line);

    // -1 until the level has been loaded from "LogLevel".
    int getLevel() const { return m_level.load(std::memory_order_relaxed); }
    // The paths that actually opened, as the file system's bytes (empty before opening or when
    // nothing opened).
    std::string mainLogPath();
    std::string errorLogPath();

    // Messages are cut to this many characters.
    static constexpr size_t kMessageChars = 20480 - 1;

private:
    struct LogFile {
        int fd = -1;
        int64_t bytes = 0;
        std::string path;
    };

    void loadLevel();
    void openLogs();
    // Opens path, or path + "1" ... path + "9"; fills the file's fd, byte count and path.
    bool openWithFallback(LogFile& file, const std::string& path);
    // Appends the line; false once the file has reached the maximum size and must be rotated.
    bool writeLine(LogFile& file, const std::string& line);
    // Moves the file to "<path>.back" and opens a new one (with the numbered fallbacks); false
    // when none opens, and the file is then closed for good.
    bool rotate(LogFile& file);
    // The line prefix: local date and time to the millisecond, level name, process id if shown.
    size_t buildPrefix(char* out, size_t size, int level) const;
    void emit(int level, const wchar_t* message, size_t length);
    void enqueue(const char* line, size_t size);
    int32_t writerLoop(void*);
    // Writes queued lines (text, and the end offset of each line in it) to the main log in
    // order, rotating it whenever it reaches the maximum.
    void writeBatch(const std::string& text, const std::vector<size_t>& ends);

    const std::wstring m_fileName;
    LogFile m_main;   // written by the writer thread only, once open
    LogFile m_error;  // guarded by m_fileMutex
    std::atomic<int> m_level{-1};
    std::atomic<bool> m_opened{false};
    std::atomic<bool> m_mainOpen{false};
    std::atomic<bool> m_errorOpen{false};
    std::string m_exeBaseName;
    PMutex m_fileMutex;
    const bool m_showProcessId;
    const int64_t m_maxSize;
    const unsigned m_processId;
    std::unique_ptr<PThread> m_writer;
    PCondMutex m_queueLock;
    bool m_stop = false;
    // True while the writer waits for the queue to fill: only then does a caller wake it.
    bool m_writerIdle = false;
    // The queue: finished lines one after the other, with the end offset of each. Kept as one
    // buffer so that queuing a line allocates nothing once the buffer has grown.
    std::string m_queue;
    std::vector<size_t> m_queueEnds;
};
