// The pelmo-bus tool as a user runs it, against real mosquitto brokers (scripts/broker.sh).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/hux/HuxTestBroker.h"

namespace {

// One run of the tool with its stdout and stderr read line by line. Every wait is bounded so
// that a broken build fails instead of hanging; the bounds are not what the tests measure.
class Tool {
public:
    Tool(const std::vector<std::string>& args, int port) {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            close(out[0]);
            close(err[0]);
            setenv("PELMO_BUS_PORT", std::to_string(port).c_str(), 1);
            std::vector<char*> argv{const_cast<char*>(PELMO_BUS_TOOL)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(PELMO_BUS_TOOL, argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        m_fd[0] = out[0];
        m_fd[1] = err[0];
    }
    ~Tool() {
        if (m_pid > 0 && m_status == -1) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        for (int fd : m_fd)
            if (fd >= 0) close(fd);
    }

    // Reads until a line of stdout (0) or stderr (1) holds the text; false when the tool ends
    // or the bound runs out first.
    bool waitFor(int stream, const std::string& text, int seconds = 20) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        size_t from = 0;
        for (;;) {
            auto at = m_text[stream].find(text, from);
            if (at != std::string::npos) {
                m_text[stream].erase(0, at + text.size());
                return true;
            }
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) return false;
        }
    }
    // Waits for the end of the run; -1 when it did not end in time.
    int exitCode(int seconds = 30) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (m_fd[0] >= 0 || m_fd[1] >= 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) break;
        }
        if (m_status == -1) {
            int status = 0;
            if (waitpid(m_pid, &status, 0) != m_pid) return -1;
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return m_status;
    }
    int stop() {
        kill(m_pid, SIGTERM);
        return exitCode();
    }
    std::string out() const { return m_all[0]; }
    std::string err() const { return m_all[1]; }

private:
    bool readSome(int ms) {
        pollfd p[2];
        int n = 0;
        for (int i = 0; i < 2; ++i)
            if (m_fd[i] >= 0) p[n++] = {m_fd[i], POLLIN, 0};
        if (n == 0 || poll(p, n, ms) <= 0) return false;
        for (int k = 0; k < n; ++k) {
            if (!(p[k].revents & (POLLIN | POLLHUP))) continue;
            int stream = p[k].fd == m_fd[0] ? 0 : 1;
            char buf[4096];
            ssize_t got = read(p[k].fd, buf, sizeof buf);
            if (got <= 0) {
                close(m_fd[stream]);
                m_fd[stream] = -1;
                continue;
            }
            m_text[stream].append(buf, got);
            m_all[stream].append(buf, got);
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_fd[2] = {-1, -1};
    int m_status = -1;
    std::string m_text[2], m_all[2];
};

std::string unique(const std::string& base) {
    return base + "-" + std::to_string(getpid());
}

class PelmoBusTool : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        // Each test has a broker of its own, so that one can be restarted.
        ASSERT_TRUE(m_broker.start(why)) << why;
    }
    int port() const { return m_broker.port(); }
    HuxTestBroker m_broker;
};

TEST_F(PelmoBusTool, CallsReachTheServerAndBringItsAnswer) {
    std::string svc = unique("Echo");
    Tool server({"serve", "--status", "7", svc}, port());
    ASSERT_TRUE(server.waitFor(1, "serving 1 services")) << server.err();

    Tool call({"call", "--any", svc, "i4:5", "s:zwei"}, port());
    EXPECT_EQ(call.exitCode(), 0) << call.err();
    EXPECT_NE(call.out().find("status 0x00000007"), std::string::npos) << call.out();
    EXPECT_NE(call.out().find("reply [i4:5, s:\"zwei\"]"), std::string::npos) << call.out();
    EXPECT_TRUE(server.waitFor(0, svc + " [i4:5, s:\"zwei\"]")) << server.out();

    // Requests sent without waiting are all delivered: each run leaves only once the broker has them.
    const int n = 20;
    for (int i = 0; i < n; ++i) {
        Tool fire({"call", "--all", "--no-wait", svc, "i4:" + std::to_string(i)}, port());
        ASSERT_EQ(fire.exitCode(), 0) << fire.err();
        EXPECT_EQ(fire.out(), "sent\n");
    }
    for (int i = 0; i < n; ++i) EXPECT_TRUE(server.waitFor(0, svc + " i4:" + std::to_string(i) + "\n")) << i;

    // A failure status from the server is the tool's exit status 3.
    Tool failing({"serve", "--status", "0x80004005", unique("Failing")}, port());
    ASSERT_TRUE(failing.waitFor(1, "serving 1 services"));
    Tool refused({"call", unique("Failing")}, port());
    EXPECT_EQ(refused.exitCode(), 3);
    EXPECT_NE(refused.out().find("status 0x80004005"), std::string::npos) << refused.out();
    EXPECT_EQ(server.stop(), 0);
}

TEST_F(PelmoBusTool, MissingServersAndClientsFailAtOnceWhileSomeoneWatches) {
    Tool watcher({"watch"}, port());
    ASSERT_TRUE(watcher.waitFor(1, "watching 3 topics"));
    // With the default 5 s timeout a wait for the reply would end in "no reply in time".
    Tool none({"call", "--timeout", "60000", unique("NoSuchService")}, port());
    EXPECT_EQ(none.exitCode(), 1);
    EXPECT_NE(none.err().find("nobody offers this service"), std::string::npos) << none.err();
    Tool nobody({"call", "--timeout", "60000", "--to", unique("nobody"), "X"}, port());
    EXPECT_EQ(nobody.exitCode(), 1);
    EXPECT_NE(nobody.err().find("no client of that name"), std::string::npos) << nobody.err();
    EXPECT_EQ(watcher.stop(), 0);
}

TEST_F(PelmoBusTool, WatchFollowsTheBusAcrossABrokerRestart) {
    std::string svc = unique("Watched");
    Tool watcher({"watch", "--count", "2", svc}, port());
    ASSERT_TRUE(watcher.waitFor(1, "watching 3 topics")) << watcher.err();
    Tool server({"serve", svc}, port());
    ASSERT_TRUE(server.waitFor(1, "serving 1 services"));

    Tool before({"call", svc, "i4:1"}, port());
    ASSERT_EQ(before.exitCode(), 0) << before.err();
    ASSERT_TRUE(watcher.waitFor(0, "any " + svc)) << watcher.out();

    m_broker.stop();
    EXPECT_TRUE(watcher.waitFor(1, "lost the broker")) << watcher.err();
    // The library's own warnings reach the user too.
    EXPECT_TRUE(server.waitFor(1, "lost the broker")) << server.err();
    std::string why;
    ASSERT_TRUE(m_broker.start(why, port())) << why;
    ASSERT_TRUE(watcher.waitFor(1, "the broker is back")) << watcher.err();
    ASSERT_TRUE(server.waitFor(1, "serving again")) << server.err();

    // The server's presence reaches the new broker shortly after it is back.
    int rc = -1;
    std::string err;
    for (int attempt = 0; attempt < 50 && rc != 0; ++attempt) {
        Tool after({"call", svc, "i4:2"}, port());
        rc = after.exitCode();
        err = after.err();
        if (rc != 0) usleep(100 * 1000);
    }
    ASSERT_EQ(rc, 0) << err;
    // The second message ends the watch by itself.
    EXPECT_TRUE(watcher.waitFor(0, "any " + svc)) << watcher.out();
    EXPECT_EQ(watcher.exitCode(), 0);
    EXPECT_NE(watcher.out().find("i4:2"), std::string::npos) << watcher.out();
}

TEST_F(PelmoBusTool, ServeShowsDroppedMalformedMessages) {
    std::string svc = unique("Strict");
    Tool server({"serve", svc}, port());
    ASSERT_TRUE(server.waitFor(1, "serving 1 services"));
    mosquitto_lib_init();
    mosquitto* m = mosquitto_new(nullptr, true, nullptr);
    ASSERT_EQ(mosquitto_connect(m, "127.0.0.1", port(), 10), MOSQ_ERR_SUCCESS);
    std::string topic = "hux/all/" + svc, payload = "not JSON";
    ASSERT_EQ(mosquitto_publish(m, nullptr, topic.c_str(), int(payload.size()), payload.data(), 0, false),
              MOSQ_ERR_SUCCESS);
    for (int i = 0; i < 20 && mosquitto_want_write(m); ++i) mosquitto_loop(m, 100, 1);
    EXPECT_TRUE(server.waitFor(1, "dropped a malformed request")) << server.err();
    mosquitto_disconnect(m);
    mosquitto_destroy(m);
    EXPECT_EQ(server.stop(), 0);
}

TEST_F(PelmoBusTool, BadArgumentsAreNamed) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"call", "--any", "a/b"}, "cannot be a service name"},
        {{"call", "--timeout", "abc", "X"}, "--timeout takes milliseconds"},
        {{"call", "--timeout", "-5", "X"}, "--timeout takes milliseconds"},
        {{"call", "X", "date:2026-02-31"}, "date:2026-02-31"},
        {{"call", "--to", "a+b", "X"}, "cannot be a client name"},
        {{"watch", "--count", "x"}, "--count takes"},
        {{"serve", "--status", "0x1FFFFFFFF", "X"}, "--status takes"},
        {{"serve", "X#"}, "cannot be a service name"},
        {{"frobnicate"}, "usage:"},
    };
    for (const auto& c : cases) {
        Tool t(c.args, port());
        EXPECT_EQ(t.exitCode(), 2) << c.args[0];
        EXPECT_NE(t.err().find(c.says), std::string::npos) << t.err();
    }
    // No broker on the port: a clear failure, not a hang.
    int unused = port();
    m_broker.stop();
    Tool t({"call", "X"}, unused);
    EXPECT_EQ(t.exitCode(), 1);
    EXPECT_NE(t.err().find("no broker on 127.0.0.1"), std::string::npos) << t.err();
}

TEST_F(PelmoBusTool, BrokerScriptRefusesAPortInUse) {
    HuxTestBroker second;
    std::string why;
    EXPECT_FALSE(second.start(why, port()));
    EXPECT_NE(why.find("already in use"), std::string::npos) << why;
    EXPECT_FALSE(second.running());
}

}  // namespace
