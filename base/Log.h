// The system's log functions. Formats are wide printf-style texts in which %s takes wide
// text (const wchar_t*) and %S narrow text (const char*). Each function checks the current
// logger's level first; with no logger installed nothing happens.
#pragma once

#include <memory>

class CBBLog;

enum LogLevel : int { LOG_FATAL = 0, LOG_ERROR = 1, LOG_WARN = 2, LOG_INFO = 3, LOG_DEBUG = 4 };

void fatal(const wchar_t* fmt, ...);
void error(const wchar_t* fmt, ...);
void warn(const wchar_t* fmt, ...);
void info(const wchar_t* fmt, ...);
void debug(const wchar_t* fmt, ...);

// Build a debug (info, warn) message only when one of these says it would be written.
bool isDebugEnabled();
bool isInfoEnabled();
bool isWarnEnabled();

// The process-wide current logger (the plug-in's factory installs it).
void setCurrentLogger(std::shared_ptr<CBBLog> logger);
std::shared_ptr<CBBLog> getCurrentLogger();
// Called by a logger whose level changed, so the level tests above follow it.
void loggerLevelChanged(const CBBLog& logger);
