// The tool's logger: the system's log lines, formatted as the log file has them, on stderr.
#pragma once

// Installs it as the current logger with the given level (0 fatal ... 4 debug).
void InstallStderrLog(int level);
