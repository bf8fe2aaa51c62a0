#include "tools/skyvane-channels/StderrLog.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>

#include "base/CBBLog.h"
#include "base/Format.h"
#include "base/Log.h"
#include "base/Text.h"

namespace {
// A CBBLog whose lines go to stderr at once instead of to the log files.
class StderrLog : public CBBLog {
public:
    explicit StderrLog(int level) : CBBLog(L"skyvane-channels.log", false, 0) { CBBLog::setLevel(level); }

    void vlog(const wchar_t* fmt, va_list args, int level) override {
        if (level > getLevel()) return;
        std::string line = WideToUtf8(VFormatWideString(fmt, args));
        if (line.empty() || line.back() != '\n') line.push_back('\n');
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
};
}  // namespace

void InstallStderrLog(int level) {
    setCurrentLogger(std::make_shared<StderrLog>(level));
}
