#include "base/CBBLog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

#include "base/Log.h"
#include "base/PThread.h"
#include "base/TempFolder.h"
#include "base/Text.h"

namespace {

constexpr int64_t kMax = 524288;

class CBBLogTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(m_root + "/registry"); }
    void TearDown() override { setCurrentLogger(nullptr); }
    void setLogLevel(int level) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(level));
        std::ofstream(m_root + "/registry/HKEY_LOCAL_MACHINE.reg")
            << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Kelvarin\\Pelmo]\n\"LogLevel\"=dword:" << hex
            << "\n";
    }
    std::string read(const std::string& name) {
        std::ifstream in(m_logs + name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::vector<std::string> lines(const std::string& name) {
        std::vector<std::string> out;
        std::stringstream ss(read(name));
        for (std::string l; std::getline(ss, l);) out.push_back(l);
        return out;
    }
    bool exists(const std::string& name) { return std::filesystem::exists(m_logs + name); }
    void makeFile(const std::string& name, size_t size) {
        std::filesystem::create_directories(m_logs);
        std::ofstream(m_logs + name, std::ios::binary) << std::string(size, 'o');
    }
    // The logger that the plug-in installs: "Skyvane.log", no process id, 512 KiB.
    std::shared_ptr<CBBLog> install(const std::wstring& name = L"Skyvane.log", bool pid = false,
                                    int64_t max = kMax) {
        auto log = std::make_shared<CBBLog>(name, pid, max);
        setCurrentLogger(log);
        return log;
    }
    // Dropping the last owner stops the writer after it has written everything queued.
    void finish(std::shared_ptr<CBBLog>& log) {
        setCurrentLogger(nullptr);
        log.reset();
    }

    TempFolder m_folder{"cbblog_test"};
    std::string m_root = m_folder.path();
    std::string m_logs = m_root + "/appdata/Kelvarin/Logs/";
    ScopedEnv m_appData{"PELMO_APPDATA", m_root + "/appdata"};
    ScopedEnv m_registry{"PELMO_REGISTRY", m_root + "/registry"};
};

const char* kStamp = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3})";

TEST_F(CBBLogTest, FatalLineGoesToBothLogsWithTheExecutableName) {
    auto log = install();
    fatal(L"tuner %s gone: %S (%d)", L"A", "bus", 3);
    // The error log is written at once, before the writer runs.
    std::regex fatalLine(std::string("^") + kStamp +
                         R"( \[FATAL\] - cbblog_test - tuner A gone: bus \(3\)$)");
    ASSERT_EQ(lines("PelmoErrors.log").size(), 1u);
    EXPECT_TRUE(std::regex_match(lines("PelmoErrors.log")[0], fatalLine)) << read("PelmoErrors.log");
    error(L"plain error");
    finish(log);
    auto main = lines("Skyvane.log");
    ASSERT_EQ(main.size(), 2u) << read("Skyvane.log");
    EXPECT_TRUE(std::regex_match(main[0], fatalLine)) << main[0];
    EXPECT_TRUE(
        std::regex_match(main[1], std::regex(std::string("^") + kStamp + R"( \[ERROR\] - plain error$)")))
        << main[1];
    // Only fatal lines reach the error log.
    EXPECT_EQ(lines("PelmoErrors.log").size(), 1u);
}

TEST_F(CBBLogTest, WithoutLogLevelOnlyErrorsAndFatalAreWritten) {
    auto log = install();
    // Not loaded yet: everything counts as enabled.
    EXPECT_TRUE(isDebugEnabled());
    debug(L"d");
    info(L"i");
    warn(L"w");
    error(L"e");
    EXPECT_EQ(log->getLevel(), 1);
    EXPECT_FALSE(isDebugEnabled());
    EXPECT_FALSE(isInfoEnabled());
    EXPECT_FALSE(isWarnEnabled());
    finish(log);
    auto main = lines("Skyvane.log");
    ASSERT_EQ(main.size(), 1u);
    EXPECT_NE(main[0].find("[ERROR] - e"), std::string::npos);
}

TEST_F(CBBLogTest, LogLevelFourWritesEveryLevelAndIsLoadedOnce) {
    setLogLevel(4);
    auto log = install();
    debug(L"d");
    setLogLevel(0);  // later changes are not seen
    info(L"i");
    warn(L"w");
    log->log(1, L"e%d", 1);
    log->debug(L"member debug");
    log->log(boost::wformat(L"%1% and %2%") % L"boost" % 7, 3);
    EXPECT_TRUE(isDebugEnabled());
    finish(log);
    auto main = lines("Skyvane.log");
    ASSERT_EQ(main.size(), 6u) << read("Skyvane.log");
    EXPECT_NE(main[0].find(" [DEBUG] - d"), std::string::npos);
    EXPECT_NE(main[1].find(" [INFO ] - i"), std::string::npos);
    EXPECT_NE(main[2].find(" [WARN ] - w"), std::string::npos);
    EXPECT_NE(main[3].find(" [ERROR] - e1"), std::string::npos);
    EXPECT_NE(main[4].find(" [DEBUG] - member debug"), std::string::npos);
    EXPECT_NE(main[5].find(" [INFO ] - boost and 7"), std::string::npos);
    EXPECT_FALSE(exists("PelmoErrors.log") && !read("PelmoErrors.log").empty());
}

TEST_F(CBBLogTest, LogLevelAboveDebugMeansEveryLevel) {
    // 0xffffffff reads as -1, the "not loaded" mark, unless it is taken as the unsigned value it is.
    for (int value : {-1, 7}) {
        setLogLevel(value);
        auto log = install();
        fatal(L"f");
        debug(L"d%d", value);
        EXPECT_EQ(log->getLevel(), 4);
        EXPECT_TRUE(isDebugEnabled());
        finish(log);
        EXPECT_NE(read("Skyvane.log").find("[DEBUG] - d" + std::to_string(value) + "\n"), std::string::npos)
            << read("Skyvane.log");
    }
    EXPECT_EQ(lines("PelmoErrors.log").size(), 2u);
}

TEST_F(CBBLogTest, LevelTestsFollowTheInstalledLoggerAndItsLevel) {
    auto quiet = std::make_shared<CBBLog>(L"quiet.log", false, kMax);
    quiet->setLevel(1);
    auto log = install();
    log->setLevel(4);
    EXPECT_TRUE(isDebugEnabled());
    quiet->setLevel(4);  // not the installed one
    log->setLevel(2);
    EXPECT_FALSE(isInfoEnabled());
    EXPECT_TRUE(isWarnEnabled());
    setCurrentLogger(quiet);
    EXPECT_TRUE(isDebugEnabled());
    info(L"to quiet");
    setCurrentLogger(log);
    info(L"dropped");
    warn(L"kept");
    setCurrentLogger(nullptr);
    EXPECT_FALSE(isWarnEnabled());
    quiet.reset();
    finish(log);
    EXPECT_NE(read("quiet.log").find("[INFO ] - to quiet"), std::string::npos);
    auto main = lines("Skyvane.log");
    ASSERT_EQ(main.size(), 1u);
    EXPECT_NE(main[0].find("[WARN ] - kept"), std::string::npos);
}

TEST_F(CBBLogTest, LogFolderKeepsEveryByteOfItsName) {
    // A four-byte character and a lone Latin-1 byte: neither survives a trip through wide text.
    const std::string appData = m_root + "/app\xF0\x9F\x93\xBA-\xE9t\xE9";
    ScopedEnv env("PELMO_APPDATA", appData);
    auto log = install();
    fatal(L"found");
    const std::string logs = appData + "/Kelvarin/Logs/";
    EXPECT_EQ(log->mainLogPath(), logs + "Skyvane.log");
    EXPECT_EQ(log->errorLogPath(), logs + "PelmoErrors.log");
    finish(log);
    std::ifstream in(logs + "Skyvane.log");
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_NE(line.find("found"), std::string::npos);
    // Nothing was written beside the folder under a cut name.
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(m_root))
        entries += e.path().filename() != "registry";
    EXPECT_EQ(entries, 1u);
}

TEST_F(CBBLogTest, ProcessIdAndEmptyNameForms) {
    setLogLevel(3);
    auto log = install(L"", true);
    info(L"hello");
    finish(log);
    // An empty name means the executable's base name + ".log".
    auto main = lines("cbblog_test.log");
    ASSERT_EQ(main.size(), 1u);
    std::regex withPid(std::string("^") + kStamp + R"( \[INFO \] )" + std::to_string(getpid()) + " - hello$");
    EXPECT_TRUE(std::regex_match(main[0], withPid)) << main[0];
}

TEST_F(CBBLogTest, OversizedLogIsMovedAsideBeforeTheFirstLine) {
    makeFile("Skyvane.log", kMax + 1);
    makeFile("Skyvane.log.back", 10);
    auto log = install();
    error(L"first");
    finish(log);
    EXPECT_EQ(std::filesystem::file_size(m_logs + "Skyvane.log.back"), static_cast<uintmax_t>(kMax + 1));
    auto main = lines("Skyvane.log");
    ASSERT_EQ(main.size(), 1u);
    EXPECT_NE(main[0].find("first"), std::string::npos);
}

TEST_F(CBBLogTest, LogOfExactlyTheMaximumIsKeptThenRotatedOnTheNextWrite) {
    makeFile("Skyvane.log", kMax);
    auto log = install();
    error(L"first");
    error(L"second");
    finish(log);
    // The first line still went to the old file, which then reached the maximum and moved.
    std::string back = read("Skyvane.log.back");
    ASSERT_GT(back.size(), static_cast<size_t>(kMax));
    EXPECT_EQ(back.find_first_not_of('o'), static_cast<size_t>(kMax));
    EXPECT_NE(back.find("[ERROR] - first\n", kMax), std::string::npos);
    auto main = lines("Skyvane.log");
    ASSERT_EQ(main.size(), 1u);
    EXPECT_NE(main[0].find("second"), std::string::npos);
}

TEST_F(CBBLogTest, RotatesWhileWritingAndKeepsTwoGenerations) {
    auto log = install(L"Skyvane.log", false, 200);
    for (int i = 0; i < 20; ++i) error(L"line %02d", i);
    finish(log);
    EXPECT_TRUE(exists("Skyvane.log.back"));
    EXPECT_FALSE(exists("Skyvane.log.back.back"));
    EXPECT_LT(std::filesystem::file_size(m_logs + "Skyvane.log"), 200u);
    EXPECT_GE(std::filesystem::file_size(m_logs + "Skyvane.log.back"), 200u);
    // The two generations together end with the newest lines, in order.
    std::string both = read("Skyvane.log.back") + read("Skyvane.log");
    size_t p18 = both.find("line 18\n"), p19 = both.find("line 19\n");
    ASSERT_NE(p18, std::string::npos);
    ASSERT_NE(p19, std::string::npos);
    EXPECT_LT(p18, p19);
    EXPECT_EQ(p19 + 8, both.size());
}

TEST_F(CBBLogTest, ErrorLogRotatesOnItsOwn) {
    auto log = install(L"Skyvane.log", false, 300);
    for (int i = 0; i < 12; ++i) fatal(L"fatal %02d", i);
    std::string both = read("PelmoErrors.log.back") + read("PelmoErrors.log");
    EXPECT_GE(std::filesystem::file_size(m_logs + "PelmoErrors.log.back"), 300u);
    EXPECT_LT(std::filesystem::file_size(m_logs + "PelmoErrors.log"), 300u);
    EXPECT_NE(both.find("fatal 10\n"), std::string::npos);
    EXPECT_EQ(both.substr(both.size() - 9), "fatal 11\n");
    finish(log);
}

TEST_F(CBBLogTest, LockedLogFallsBackToTheNumberedName) {
    std::filesystem::create_directories(m_logs);
    int fd = open((m_logs + "Skyvane.log").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    auto log = install();
    error(L"elsewhere");
    EXPECT_EQ(log->mainLogPath(), m_logs + "Skyvane.log1");
    finish(log);
    close(fd);
    EXPECT_EQ(read("Skyvane.log"), "");
    ASSERT_EQ(lines("Skyvane.log1").size(), 1u);
    EXPECT_NE(read("Skyvane.log1").find("elsewhere"), std::string::npos);
}

TEST_F(CBBLogTest, AllNamesLockedLeavesTheMainLogClosedButFatalStillReachesTheErrorLog) {
    std::filesystem::create_directories(m_logs);
    std::vector<int> fds;
    for (int i = 0; i < 10; ++i) {
        std::string name = m_logs + "Skyvane.log" + (i ? std::to_string(i) : "");
        int fd = open(name.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
        fds.push_back(fd);
    }
    auto log = install();
    fatal(L"still seen");
    EXPECT_EQ(log->mainLogPath(), "");
    finish(log);
    for (int fd : fds) close(fd);
    EXPECT_EQ(read("Skyvane.log"), "");
    EXPECT_NE(read("PelmoErrors.log").find("still seen"), std::string::npos);
}

TEST_F(CBBLogTest, NoApplicationDataFolderMeansNothingIsLogged) {
    std::string file = m_root + "/not-a-folder";
    std::ofstream(file) << "x";
    ScopedEnv appData("PELMO_APPDATA", file);
    auto log = install();
    fatal(L"nowhere");
    error(L"nowhere");
    EXPECT_EQ(log->mainLogPath(), "");
    EXPECT_EQ(log->errorLogPath(), "");
    finish(log);
}

TEST_F(CBBLogTest, LongMessageIsCutAndStillEndsTheLine) {
    auto log = install();
    std::wstring big(30000, L'x');
    error(L"%s", big.c_str());
    error(L"next");
    finish(log);
    auto main = lines("Skyvane.log");
    ASSERT_EQ(main.size(), 2u);
    size_t start = main[0].find(" - ") + 3;
    EXPECT_EQ(main[0].size() - start, CBBLog::kMessageChars);
    EXPECT_EQ(CBBLog::kMessageChars, 20479u);
}

TEST_F(CBBLogTest, EachSixteenBitUnitIsConvertedOnItsOwn) {
    auto log = install();
    error(L"\u00E9\u20AC\U0001F600");
    finish(log);
    std::string text = read("Skyvane.log");
    EXPECT_NE(text.find("- \xC3\xA9\xE2\x82\xAC\xED\xA0\xBD\xED\xB8\x80\n"), std::string::npos);
}

TEST_F(CBBLogTest, RawTextIsQueuedAsItIs) {
    auto log = install();
    log->writeRaw("not yet open\n");  // dropped: nothing is open before the first message
    error(L"opens");
    log->writeRaw("raw");
    finish(log);
    std::string text = read("Skyvane.log");
    EXPECT_EQ(text.find("not yet open"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 4), "\nraw");
}

class Writer {
public:
    explicit Writer(int id) : m_id(id) {}
    int32_t run(void*) {
        for (int i = 0; i < 500; ++i) error(L"thread %d line %d", m_id, i);
        return 0;
    }

private:
    int m_id;
};

TEST_F(CBBLogTest, LinesFromManyThreadsAllArriveInTheirOwnOrder) {
    auto log = install();
    std::vector<std::unique_ptr<Writer>> writers;
    std::vector<std::unique_ptr<PThread>> threads;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back(new Writer(t));
        threads.emplace_back(
            new PThread(nullptr, PThreadDelegateMember<Writer>(writers.back().get(), &Writer::run)));
    }
    for (auto& t : threads) t->join();
    // Destroyed at once: whatever is still queued is written before the writer ends.
    finish(log);
    auto main = lines("Skyvane.log");
    ASSERT_EQ(main.size(), 2000u);
    int next[4] = {0, 0, 0, 0};
    std::regex shape(R"(.* - thread (\d) line (\d+)$)");
    for (const auto& l : main) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, shape)) << l;
        int t = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[2]), next[t]++);
    }
}

TEST(CBBLogNoLogger, CallsWithoutALoggerDoNothing) {
    setCurrentLogger(nullptr);
    fatal(L"%s", L"nobody listens");
    EXPECT_FALSE(isDebugEnabled());
    EXPECT_EQ(getCurrentLogger(), nullptr);
}

}  // namespace
