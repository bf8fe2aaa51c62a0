#include "base/Log.h"

#include <atomic>
#include <cstdarg>

#include "base/CBBLog.h"

namespace {

std::shared_ptr<CBBLog> g_current;

bool enabled(const CBBLog& log, int level) {
    int current = log.getLevel();
    return current == -1 || current >= level;
}

void forward(int level, const wchar_t* fmt, va_list args) {
    std::shared_ptr<CBBLog> log = getCurrentLogger();
    if (log && enabled(*log, level)) log->vlog(fmt, args, level);
}

bool isEnabled(int level) {
    std::shared_ptr<CBBLog> log = getCurrentLogger();
    return log && enabled(*log, level);
}

}  // namespace

void setCurrentLogger(std::shared_ptr<CBBLog> logger) {
    std::atomic_store(&g_current, std::move(logger));
}

std::shared_ptr<CBBLog> getCurrentLogger() {
    return std::atomic_load(&g_current);
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
