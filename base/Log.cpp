#include "base/Log.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <mutex>

#include "base/CBBLog.h"

namespace {

std::shared_ptr<CBBLog> g_current;
// The current logger's level, kept beside it so that a line below the level costs its caller
// one load: no shared pointer copy, no lock. kNoLogger when none is installed.
constexpr int kNoLogger = -2;
std::atomic<int> g_currentLevel{kNoLogger};
// Orders installations against level changes, so the copy always ends at the installed
// logger's own level.
std::mutex g_installMutex;

bool enabled(int current, int level) {
    return current == -1 || (current != kNoLogger && current >= level);
}

// Counts installations. Each thread keeps a weak reference to the logger it last saw with the
// count it saw: locking that is cheaper than copying the shared slot (which takes a lock), and
// a weak reference never keeps a replaced logger alive.
std::atomic<uint64_t> g_installations{0};

std::shared_ptr<CBBLog> currentForThisThread() {
    thread_local std::weak_ptr<CBBLog> seen;
    thread_local uint64_t seenInstallation = ~uint64_t{0};
    const uint64_t installation = g_installations.load(std::memory_order_acquire);
    if (installation != seenInstallation) {
        seen = getCurrentLogger();
        seenInstallation = installation;
    }
    return seen.lock();
}

void forward(int level, const wchar_t* fmt, va_list args) {
    if (!enabled(g_currentLevel.load(std::memory_order_relaxed), level)) return;
    std::shared_ptr<CBBLog> log = currentForThisThread();
    if (log) log->vlog(fmt, args, level);
}

bool isEnabled(int level) {
    return enabled(g_currentLevel.load(std::memory_order_relaxed), level);
}

}  // namespace

void setCurrentLogger(std::shared_ptr<CBBLog> logger) {
    std::lock_guard<std::mutex> lock(g_installMutex);
    g_currentLevel.store(logger ? logger->getLevel() : kNoLogger, std::memory_order_relaxed);
    std::atomic_store(&g_current, std::move(logger));
    g_installations.fetch_add(1, std::memory_order_release);
}

std::shared_ptr<CBBLog> getCurrentLogger() {
    return std::atomic_load(&g_current);
}

void loggerLevelChanged(const CBBLog& logger) {
    std::lock_guard<std::mutex> lock(g_installMutex);
    if (std::atomic_load(&g_current).get() == &logger) {
        g_currentLevel.store(logger.getLevel(), std::memory_order_relaxed);
    }
}

#define SKYVANE_LOG_FUNCTION(name, level) \
    void name(const wchar_t* fmt, ...) {  \
        va_list args;                     \
        va_start(args, fmt);              \
        forward(level, fmt, args);        \
        va_end(args);                     \
    }

SKYVANE_LOG_FUNCTION(fatal, LOG_FATAL)
SKYVANE_LOG_FUNCTION(error, LOG_ERROR)
SKYVANE_LOG_FUNCTION(warn, LOG_WARN)
SKYVANE_LOG_FUNCTION(info, LOG_INFO)
SKYVANE_LOG_FUNCTION(debug, LOG_DEBUG)

bool isDebugEnabled() {
    return isEnabled(LOG_DEBUG);
}
bool isInfoEnabled() {
    return isEnabled(LOG_INFO);
}
bool isWarnEnabled() {
    return isEnabled(LOG_WARN);
}
