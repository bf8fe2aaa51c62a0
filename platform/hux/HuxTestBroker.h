// A mosquitto broker for tests, started through scripts/broker.sh.
#pragma once

#include <string>

class HuxTestBroker {
public:
    HuxTestBroker() = default;
    ~HuxTestBroker() { stop(); }
    HuxTestBroker(const HuxTestBroker&) = delete;
    HuxTestBroker& operator=(const HuxTestBroker&) = delete;

    // Starts a broker on a free loopback port, or on the given one. False with the reason in why
    // (mosquitto missing, the port taken, ...).
    bool start(std::string& why, int port = 0);
    void stop();
    int port() const { return m_port; }
    bool running() const { return m_pid > 0; }

    // The broker for this test run: $PELMO_BUS_PORT when set (scripts/run-tests.sh starts one),
    // otherwise one started here for the whole process, and $PELMO_BUS_PORT set to it. False
    // with the reason when there is none.
    static bool ensureShared(std::string& why);

private:
    int m_port = 0;
    int m_pid = 0;
};
