#include "platform/hux/HuxTestBroker.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

bool HuxTestBroker::start(std::string& why, int port) {
    std::string cmd = std::string("'") + SKYVANE_SOURCE_DIR + "/scripts/broker.sh' start";
    if (port) cmd += " --port " + std::to_string(port);
    cmd += " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        why = "could not run scripts/broker.sh";
        return false;
    }
    std::string out;
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    int status = pclose(p);
    int newPort = 0, pid = 0;
    auto portAt = out.find("PELMO_BUS_PORT=");
    auto pidAt = out.find("BROKER_PID=");
    if (status == 0 && portAt != std::string::npos && pidAt != std::string::npos) {
        newPort = std::atoi(out.c_str() + portAt + 15);
        pid = std::atoi(out.c_str() + pidAt + 11);
    }
    if (newPort <= 0 || pid <= 0) {
        why = "no mosquitto broker for the bus tests: " + out;
        return false;
    }
    m_port = newPort;
    m_pid = pid;
    return true;
}

void HuxTestBroker::stop() {
    if (m_pid <= 0) return;
    std::string cmd = std::string("'") + SKYVANE_SOURCE_DIR + "/scripts/broker.sh' stop " + std::to_string(m_pid);
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not stop broker %d\n", m_pid);
    m_pid = 0;
}

bool HuxTestBroker::ensureShared(std::string& why) {
    static std::unique_ptr<HuxTestBroker> shared;
    static std::string failure;
    const char* env = std::getenv("PELMO_BUS_PORT");
    if (env && *env) return true;
    if (!failure.empty()) {
        why = failure;
        return false;
    }
    shared = std::make_unique<HuxTestBroker>();
    if (!shared->start(failure)) {
        why = failure;
        return false;
    }
    // Stopped when the process ends, through the unique_ptr's destructor.
    setenv("PELMO_BUS_PORT", std::to_string(shared->port()).c_str(), 1);
    return true;
}
