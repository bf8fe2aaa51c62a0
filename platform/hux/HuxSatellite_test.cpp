// Against a real mosquitto broker (scripts/broker.sh).
#include "platform/hux/HuxSatellite.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "base/CBBLog.h"
#include "base/Format.h"
#include "base/HuxException.h"
#include "base/Log.h"
#include "platform/hux/HuxTestBroker.h"
#include "platform/hux/HuxTestValues.h"
#include "platform/hux/HuxWireFormat.h"

namespace {

// Waits for a condition that another thread brings about; the bound only keeps a broken build
// from hanging, it is not what the test measures.
bool eventually(const std::function<bool()>& done, int seconds = 15) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Names unique to this process, so that parallel test runs on one broker do not meet.
std::wstring unique(const std::wstring& base) {
    return base + L"-" + std::to_wstring(getpid());
}

CComVariant element(const VARIANT& array, LONG i) {
    CComVariant v;
    EXPECT_EQ(SafeArrayGetElement(array.parray, &i, &v), S_OK);
    return v;
}

std::wstring text(const VARIANT& v) {
    return v.vt == VT_BSTR ? std::wstring(v.bstrVal, SysStringLen(v.bstrVal)) : L"?";
}

// Keeps the log lines in memory instead of writing files.
class CapturingLog : public CBBLog {
public:
    CapturingLog() : CBBLog(L"hux_test.log", false, 1 << 20) { setLevel(LOG_DEBUG); }
    void vlog(const wchar_t* fmt, va_list args, int) override {
        std::wstring line = VFormatWideString(fmt, args);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(line);
    }
    int count(const std::wstring& part) {
        std::lock_guard<std::mutex> lock(m_mutex);
        int n = 0;
        for (const auto& l : m_lines) n += l.find(part) != std::wstring::npos;
        return n;
    }

private:
    std::mutex m_mutex;
    std::vector<std::wstring> m_lines;
};

// A server that offers the given services: each answers with its own name and echoes the
// arguments back in the reply, keeping the last arguments it saw.
class EchoServer : public HuxSatellite {
public:
    EchoServer(std::wstring name, std::vector<std::wstring> services)
        : m_name(std::move(name)), m_services(std::move(services)) {}
    ~EchoServer() override { Disconnect(); }

    HRESULT connect() { return Connect(L"127.0.0.1", m_name); }

    HRESULT DeclareServices() override {
        for (const auto& s : m_services)
            AddService(s, L"", new HuxSatelliteDelegateMember<EchoServer>(this, &EchoServer::echo));
        return S_OK;
    }

    HRESULT echo(const std::wstring& service, VARIANT& args, VARIANT* reply) {
        if (args.vt == VT_BSTR && text(args) == L"throw")
            throw HuxInvalidParameterException(L"Element is not a long");
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_last = args;
            m_lastService = service;
        }
        CComVariant answer = variantArray({CComVariant(m_name), CComVariant(args)});
        VariantCopy(reply, &answer);
        ++calls;
        return 7;
    }

    void OnStatusChange(HRESULT status) override { (status == S_OK ? reconnects : lost)++; }

    void OnServiceAvailabilityChanged(const std::wstring& service, bool available) override {
        // Replies arrive on this very thread: waiting here must be refused, not hang.
        hookRequest = Request(L"any", service, CComVariant(LONG(0)), nullptr, HUX_WAIT_REPLY, nullptr);
        (available ? appeared : vanished)++;
    }

    CComVariant last() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_last;
    }

    std::atomic<int> calls{0};
    std::atomic<int> reconnects{0};
    std::atomic<int> lost{0};
    std::atomic<int> appeared{0};
    std::atomic<int> vanished{0};
    std::atomic<HRESULT> hookRequest{S_OK};
    std::wstring m_name;

private:
    std::vector<std::wstring> m_services;
    std::mutex m_mutex;
    CComVariant m_last;
    std::wstring m_lastService;
};

class HuxSatelliteTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        // A missing broker is a failure, not a skip: the bus cannot be checked without one.
        ASSERT_TRUE(HuxTestBroker::ensureShared(why)) << why;
    }
};

TEST_F(HuxSatelliteTest, AnyReachesExactlyOneServerAndBringsItsReply) {
    std::wstring svc = unique(L"Echo");
    EchoServer a(unique(L"srvA"), {svc}), b(unique(L"srvB"), {svc});
    ASSERT_EQ(a.connect(), S_OK);
    ASSERT_EQ(b.connect(), S_OK);
    HuxSatellite client;
    ASSERT_EQ(client.Connect(L"127.0.0.1", unique(L"client")), S_OK);

    const int n = 40;
    int fromA = 0, fromB = 0;
    for (int i = 0; i < n; ++i) {
        CComVariant reply, status;
        ASSERT_EQ(client.Request(L"any", svc, CComVariant(LONG(i)), &reply, HUX_WAIT_REPLY, &status), S_OK);
        ASSERT_EQ(status.vt, VT_I4);
        EXPECT_EQ(status.lVal, 7);
        ASSERT_EQ(reply.vt, VT_ARRAY | VT_VARIANT);
        std::wstring who = text(element(reply, 0));
        (who == a.m_name ? fromA : fromB)++;
        CComVariant echoed = element(reply, 1);
        ASSERT_EQ(echoed.vt, VT_I4);
        EXPECT_EQ(echoed.lVal, i);
    }
    // Every request ran exactly once, on one of the two.
    EXPECT_EQ(a.calls + b.calls, n);
    EXPECT_EQ(fromA, a.calls.load());
    EXPECT_EQ(fromB, b.calls.load());
}

TEST_F(HuxSatelliteTest, AllReachesEveryServerOnce) {
    std::wstring svc = unique(L"Broadcast");
    EchoServer a(unique(L"allA"), {svc}), b(unique(L"allB"), {svc});
    ASSERT_EQ(a.connect(), S_OK);
    ASSERT_EQ(b.connect(), S_OK);
    HuxSatellite client;
    ASSERT_EQ(client.Connect(L"127.0.0.1", unique(L"allClient")), S_OK);

    ASSERT_EQ(client.Request(L"all", svc, CComVariant(L"hello"), nullptr, HUX_NO_REPLY, nullptr), S_OK);
    ASSERT_TRUE(eventually([&] { return a.calls == 1 && b.calls == 1; }));
    // A request addressed to each by name queues behind the broadcast: once it is answered, a
    // duplicate of the broadcast would have run too.
    for (auto* s : {&a, &b}) {
        CComVariant reply;
        ASSERT_EQ(client.Request(s->m_name, svc, CComVariant(LONG(1)), &reply, HUX_WAIT_REPLY, nullptr),
                  S_OK);
        EXPECT_EQ(text(element(reply, 0)), s->m_name);
    }
    EXPECT_EQ(a.calls, 2);
    EXPECT_EQ(b.calls, 2);
}

TEST_F(HuxSatelliteTest, CallSiteArgumentsKeepTheirTypeCodes) {
    std::wstring cb = unique(L"TVScanCallback"), result = unique(L"TVScanResult"),
                 stb = unique(L"STBTuneToChannel");
    EchoServer server(unique(L"shapes"), {cb, result, stb});
    ASSERT_EQ(server.connect(), S_OK);
    HuxSatellite client;
    ASSERT_EQ(client.Connect(L"127.0.0.1", unique(L"tv")), S_OK);

    // Progress: current, total, name, path, signal; sent to "all" without waiting.
    CComVariant progress = variantArray(
        {CComVariant(LONG(3)), CComVariant(LONG(57)), CComVariant(L"Das Erste \u00c9"),
         CComVariant(L"device://tv.channel.dvbt/#/474000/8/9018/4100/4164"), CComVariant(LONG(0))});
    ASSERT_EQ(client.Request(L"all", cb, progress, nullptr, HUX_NO_REPLY, nullptr), S_OK);
    ASSERT_TRUE(eventually([&] { return server.calls == 1; }));
    CComVariant seen = server.last();
    ASSERT_EQ(seen.vt, VT_ARRAY | VT_VARIANT);
    ASSERT_EQ(seen.parray->rgsabound[0].cElements, 5u);
    const VARTYPE expected[] = {VT_I4, VT_I4, VT_BSTR, VT_BSTR, VT_I4};
    for (LONG i = 0; i < 5; ++i) EXPECT_EQ(element(seen, i).vt, expected[i]) << i;
    EXPECT_EQ(element(seen, 1).lVal, 57);
    EXPECT_EQ(text(element(seen, 2)), L"Das Erste \u00c9");

    // Result: device name, then one array of 4 per channel with signal before frequency.
    CComVariant items =
        variantArray({variantArray({CComVariant(L"ZDF"),
                                    CComVariant(L"device://tv.channel.dvbt/#/474000/8/9018/4100/4164"),
                                    CComVariant(LONG(85)), CComVariant(L"474000")}),
                      variantArray({CComVariant(L"arte"),
                                    CComVariant(L"device://tv.channel.dvbt/#/490000/8/9018/4101/4170"),
                                    CComVariant(LONG(60)), CComVariant(L"490000")})});
    CComVariant scan = variantArray({CComVariant(L"Tuner"), items});
    ASSERT_EQ(client.Request(L"all", result, scan, nullptr, HUX_NO_REPLY, nullptr), S_OK);
    ASSERT_TRUE(eventually([&] { return server.calls == 2; }));
    seen = server.last();
    ASSERT_EQ(seen.vt, VT_ARRAY | VT_VARIANT);
    ASSERT_EQ(seen.parray->rgsabound[0].cElements, 2u);
    EXPECT_EQ(text(element(seen, 0)), L"Tuner");
    CComVariant list = element(seen, 1);
    ASSERT_EQ(list.vt, VT_ARRAY | VT_VARIANT);
    ASSERT_EQ(list.parray->rgsabound[0].cElements, 2u);
    CComVariant second = element(list, 1);
    ASSERT_EQ(second.vt, VT_ARRAY | VT_VARIANT);
    const VARTYPE itemTypes[] = {VT_BSTR, VT_BSTR, VT_I4, VT_BSTR};
    for (LONG i = 0; i < 4; ++i) EXPECT_EQ(element(second, i).vt, itemTypes[i]) << i;
    EXPECT_EQ(element(second, 2).lVal, 60);
    EXPECT_EQ(text(element(second, 3)), L"490000");

    // Set-top box: a VT_I4 channel to "any", waiting for the answer.
    CComVariant reply, status;
    ASSERT_EQ(client.Request(L"any", stb, CComVariant(LONG(12)), &reply, HUX_WAIT_REPLY, &status), S_OK);
    CComVariant echoed = element(reply, 1);
    EXPECT_EQ(echoed.vt, VT_I4);
    EXPECT_EQ(echoed.lVal, 12);
}

// A loopback port nobody listens on.
int unusedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

// Points $PELMO_BUS_PORT elsewhere for one scope.
class PortOverride {
public:
    explicit PortOverride(int port) {
        const char* old = std::getenv("PELMO_BUS_PORT");
        m_old = old ? old : "";
        setenv("PELMO_BUS_PORT", std::to_string(port).c_str(), 1);
    }
    ~PortOverride() { setenv("PELMO_BUS_PORT", m_old.c_str(), 1); }

private:
    std::string m_old;
};

TEST_F(HuxSatelliteTest, WithoutBrokerConnectFailsAndRequestsDoNotBlock) {
    PortOverride port(unusedPort());
    EchoServer server(unique(L"lonely"), {L"X"});
    EXPECT_EQ(server.connect(), HUX_E_NOT_CONNECTED);
    EXPECT_FALSE(server.IsConnected());
    EXPECT_EQ(server.Request(L"any", L"X", CComVariant(LONG(1)), nullptr, HUX_WAIT_REPLY, nullptr),
              HUX_E_NOT_CONNECTED);
    EXPECT_EQ(server.Request(L"all", L"X", CComVariant(LONG(1)), nullptr, HUX_NO_REPLY, nullptr),
              HUX_E_NOT_CONNECTED);
}

TEST_F(HuxSatelliteTest, SurvivesABrokerRestart) {
    HuxTestBroker broker;
    std::string why;
    ASSERT_TRUE(broker.start(why)) << why;
    PortOverride port(broker.port());
    std::wstring svc = unique(L"Restart");
    EchoServer server(unique(L"rsrv"), {svc});
    ASSERT_EQ(server.connect(), S_OK);
    HuxSatellite client, leaver;
    ASSERT_EQ(client.Connect(L"127.0.0.1", unique(L"rcli")), S_OK);
    ASSERT_EQ(leaver.Connect(L"127.0.0.1", unique(L"rleaver")), S_OK);
    ASSERT_EQ(client.Request(L"any", svc, CComVariant(LONG(1)), nullptr, HUX_WAIT_REPLY, nullptr), S_OK);

    broker.stop();
    ASSERT_TRUE(eventually([&] { return !client.IsConnected() && !server.IsConnected(); }));
    // Leaving while the client is between reconnect attempts stops those attempts.
    EXPECT_EQ(leaver.Disconnect(), S_OK);
    EXPECT_EQ(client.Request(L"any", svc, CComVariant(LONG(2)), nullptr, HUX_WAIT_REPLY, nullptr),
              HUX_E_NOT_CONNECTED);

    ASSERT_TRUE(broker.start(why, broker.port())) << why;
    ASSERT_TRUE(eventually([&] { return client.IsConnected() && server.IsConnected(); }));
    // The new broker knows the server once it has announced itself again.
    ASSERT_TRUE(eventually([&] { return client.DirectoryPingSatellite(server.m_name) == S_OK; }));
    EXPECT_GE(server.reconnects, 1);
    // The server subscribed its service again on the new broker.
    CComVariant reply;
    EXPECT_EQ(client.Request(L"any", svc, CComVariant(LONG(3)), &reply, HUX_WAIT_REPLY, nullptr), S_OK);
    EXPECT_EQ(element(reply, 1).lVal, 3);
    EXPECT_EQ(server.calls, 2);
}

// Publishes raw payloads as another MQTT client would, and collects replies.
class RawClient {
public:
    RawClient() {
        mosquitto_lib_init();
        m_mosq = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_message_v5_callback_set(
            m_mosq, [](mosquitto*, void* obj, const mosquitto_message* m, const mosquitto_property*) {
                auto* self = static_cast<RawClient*>(obj);
                std::lock_guard<std::mutex> lock(self->m_mutex);
                self->m_replies.emplace_back(static_cast<const char*>(m->payload), m->payloadlen);
                self->m_topics.emplace_back(m->topic);
            });
        mosquitto_subscribe_callback_set(m_mosq, [](mosquitto*, void* obj, int, int, const int*) {
            ++static_cast<RawClient*>(obj)->m_subscribed;
        });
    }
    ~RawClient() {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, false);
        mosquitto_destroy(m_mosq);
    }
    // Subscribes each filter and waits for the broker to confirm them.
    bool connect(const std::vector<std::string>& filters) {
        if (mosquitto_connect(m_mosq, "127.0.0.1", HuxSatellite::BusPort(), 10) != MOSQ_ERR_SUCCESS)
            return false;
        mosquitto_loop_start(m_mosq);
        for (const auto& f : filters) mosquitto_subscribe(m_mosq, nullptr, f.c_str(), 1);
        return eventually([&] { return m_subscribed.load() == static_cast<int>(filters.size()); });
    }
    bool connect(const std::string& filter) { return connect(std::vector<std::string>{filter}); }
    void publishRetained(const std::string& topic, const std::string& payload) {
        mosquitto_publish_v5(m_mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                             1, true, nullptr);
    }
    void publish(const std::string& topic, const std::string& payload, const std::string& replyTopic) {
        mosquitto_property* props = nullptr;
        if (!replyTopic.empty()) {
            mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, replyTopic.c_str());
            mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, "c1", 2);
        }
        mosquitto_publish_v5(m_mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                             1, false, props);
        mosquitto_property_free_all(&props);
    }
    std::vector<std::string> replies() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_replies;
    }
    int countOn(const std::string& topic) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(std::count(m_topics.begin(), m_topics.end(), topic));
    }

private:
    mosquitto* m_mosq;
    std::mutex m_mutex;
    std::vector<std::string> m_replies;
    std::vector<std::string> m_topics;
    std::atomic<int> m_subscribed{0};
};

TEST_F(HuxSatelliteTest, MalformedRequestsAreDroppedBeforeTheHandler) {
    std::wstring svc = unique(L"Strict");
    std::string topic = "hux/any/" + HuxWireFormat::toUtf8(svc);
    std::string replyTopic = "hux/reply/raw-" + std::to_string(getpid()) + "/1";
    EchoServer server(unique(L"strict"), {svc});
    ASSERT_EQ(server.connect(), S_OK);
    RawClient raw;
    ASSERT_TRUE(raw.connect(replyTopic));
    auto log = std::make_shared<CapturingLog>();
    setCurrentLogger(log);

    std::string svcUtf8 = HuxWireFormat::toUtf8(svc);
    const std::string bad[] = {
        "",
        "\xFF\xFE garbage",
        R"({"hux":1,"service":")" + svcUtf8 + R"(","args":{"vt":"I4","v":"five"}})",
        R"({"hux":1,"service":")" + svcUtf8 + R"(","args":{"vt":"ARRAY|VARIANT","v":[{"vt":"I4"}]}})",
        R"({"hux":1,"service":"SomethingElse","args":{"vt":"I4","v":1}})",
        std::string(100000, '['),
    };
    for (const auto& payload : bad) raw.publish(topic, payload, replyTopic);
    raw.publish(topic, "not even JSON", "");  // no reply wanted: dropped silently but for the log
    ASSERT_TRUE(eventually([&] { return raw.replies().size() == std::size(bad); }));
    for (const auto& r : raw.replies()) {
        HuxReplyMessage reply;
        std::string why;
        ASSERT_TRUE(HuxWireFormat::decodeReply(r.data(), r.size(), reply, why)) << why;
        EXPECT_EQ(reply.status, HUX_E_BAD_MESSAGE);
        EXPECT_FALSE(reply.error.empty());
    }
    EXPECT_EQ(server.calls, 0);
    ASSERT_TRUE(eventually([&] { return log->count(L"dropped a malformed request") == std::size(bad) + 1; }));
    EXPECT_EQ(log->count(L"arguments: bad value for I4"), 1);
    EXPECT_EQ(log->count(L"the service named in the message differs from its topic"), 1);
    EXPECT_EQ(log->count(L"JSON nested deeper than"), 1);

    // The server goes on serving well-formed requests.
    raw.publish(topic, R"({"hux":1,"service":")" + svcUtf8 + R"(","args":{"vt":"I4","v":5}})", replyTopic);
    ASSERT_TRUE(eventually([&] { return raw.replies().size() == std::size(bad) + 1; }));
    EXPECT_EQ(server.calls, 1);
    setCurrentLogger(nullptr);
}

TEST_F(HuxSatelliteTest, HandlerExceptionsAndMissingServersComeBackAsStatus) {
    std::wstring svc = unique(L"Thrower");
    EchoServer server(unique(L"thrower"), {svc});
    ASSERT_EQ(server.connect(), S_OK);
    HuxSatellite client;
    ASSERT_EQ(client.Connect(L"127.0.0.1", unique(L"tcli")), S_OK);

    CComVariant reply, status;
    EXPECT_EQ(client.Request(L"any", svc, CComVariant(L"throw"), &reply, HUX_WAIT_REPLY, &status), S_OK);
    EXPECT_EQ(status.lVal, E_INVALIDARG);
    EXPECT_EQ(reply.vt, VT_EMPTY);

    // The broker tells at once that nobody subscribes.
    EXPECT_EQ(client.Request(L"any", unique(L"NoSuchService"), CComVariant(LONG(1)), nullptr, HUX_WAIT_REPLY,
                             nullptr),
              HUX_E_NO_SERVER);
    EXPECT_EQ(client.Request(unique(L"nobody"), svc, CComVariant(LONG(1)), nullptr, HUX_WAIT_REPLY, nullptr),
              HUX_E_NO_SATELLITE);
    EXPECT_EQ(client.Request(L"any", L"bad/name", CComVariant(LONG(1)), nullptr, HUX_WAIT_REPLY, nullptr),
              E_INVALIDARG);

    ASSERT_EQ(server.RemoveService(svc), S_OK);
    EXPECT_EQ(client.Request(L"any", svc, CComVariant(LONG(1)), nullptr, HUX_WAIT_REPLY, nullptr),
              HUX_E_NO_SERVER);
}

TEST_F(HuxSatelliteTest, PresenceFollowsClientsAndServices) {
    std::wstring svc = unique(L"Present");
    EchoServer watcher(unique(L"watcher"), {});
    ASSERT_EQ(watcher.connect(), S_OK);
    watcher.AddServiceAvailabilityListener(svc);
    std::wstring serverName;
    {
        EchoServer server(unique(L"present"), {svc});
        serverName = server.m_name;
        ASSERT_EQ(server.connect(), S_OK);
        ASSERT_TRUE(eventually([&] { return watcher.DirectoryPingSatellite(serverName) == S_OK; }));
        ASSERT_TRUE(eventually([&] { return watcher.appeared == 1; }));
        EXPECT_EQ(watcher.hookRequest, E_UNEXPECTED);
    }
    ASSERT_TRUE(eventually([&] { return watcher.DirectoryPingSatellite(serverName) == HUX_E_NO_SATELLITE; }));
    ASSERT_TRUE(eventually([&] { return watcher.vanished == 1; }));
    std::wstring id;
    EXPECT_EQ(watcher.GetSatelliteId(id), S_OK);
    EXPECT_EQ(id, watcher.m_name);
}

std::string utf8(const std::wstring& s) {
    return HuxWireFormat::toUtf8(s);
}

std::string requestPayload(const std::wstring& service, LONG value) {
    std::string payload, why;
    EXPECT_TRUE(HuxWireFormat::encodeRequest("raw", "all", service, CComVariant(value), payload, why)) << why;
    return payload;
}

TEST_F(HuxSatelliteTest, EveryAcceptedRequestReachesTheBrokerBeforeTheClientLeaves) {
    std::wstring svc = unique(L"Flushed");
    RawClient observer;
    ASSERT_TRUE(observer.connect("hux/all/" + utf8(svc)));
    const int n = 200;
    {
        HuxSatellite sender;
        ASSERT_EQ(sender.Connect(L"127.0.0.1", unique(L"flusher")), S_OK);
        for (LONG i = 0; i < n; ++i)
            ASSERT_EQ(sender.Request(L"all", svc, CComVariant(i), nullptr, HUX_NO_REPLY, nullptr), S_OK);
        EXPECT_EQ(sender.Disconnect(), S_OK);
    }
    {
        // The destructor leaves the same way.
        HuxSatellite sender;
        ASSERT_EQ(sender.Connect(L"127.0.0.1", unique(L"flusher2")), S_OK);
        for (LONG i = n; i < 2 * n; ++i)
            ASSERT_EQ(sender.Request(L"all", svc, CComVariant(i), nullptr, HUX_NO_REPLY, nullptr), S_OK);
    }
    // Both clients are gone: whatever the broker acknowledged is all that can still arrive.
    ASSERT_TRUE(eventually([&] { return observer.replies().size() >= 2u * n; })) << observer.replies().size();
    std::vector<bool> seen(2 * n);
    for (const auto& r : observer.replies()) {
        HuxRequestMessage m;
        std::string why;
        ASSERT_TRUE(HuxWireFormat::decodeRequest(r.data(), r.size(), m, why)) << why;
        ASSERT_EQ(m.args.vt, VT_I4);
        ASSERT_TRUE(m.args.lVal >= 0 && m.args.lVal < 2 * n);
        seen[m.args.lVal] = true;
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 2 * n);
}

TEST_F(HuxSatelliteTest, MissingServersAndClientsAnswerAtOnceDespiteObservers) {
    // An observer of every topic makes the broker see a subscriber for anything.
    RawClient observer;
    ASSERT_TRUE(observer.connect("hux/#"));
    std::wstring svc = unique(L"Served");
    EchoServer server(unique(L"served"), {svc});
    ASSERT_EQ(server.connect(), S_OK);
    HuxSatellite client;
    // Waiting this long would be the fault; the answer must come from what is known.
    client.SetRequestTimeout(20000);
    ASSERT_EQ(client.Connect(L"127.0.0.1", unique(L"asker")), S_OK);

    std::wstring missing = unique(L"NoSuchService");
    EXPECT_EQ(client.Request(L"any", missing, CComVariant(LONG(1)), nullptr, HUX_WAIT_REPLY, nullptr),
              HUX_E_NO_SERVER);
    EXPECT_EQ(client.Request(L"any", missing, CComVariant(LONG(1)), nullptr, HUX_NO_REPLY, nullptr),
              HUX_E_NO_SERVER);
    EXPECT_EQ(client.Request(L"all", missing, CComVariant(LONG(1)), nullptr, HUX_WAIT_REPLY, nullptr),
              HUX_E_NO_SERVER);
    // A broadcast that nobody hears has still been delivered to every server there is.
    EXPECT_EQ(client.Request(L"all", missing, CComVariant(LONG(1)), nullptr, HUX_NO_REPLY, nullptr), S_OK);
    EXPECT_EQ(client.Request(unique(L"absent"), svc, CComVariant(LONG(1)), nullptr, HUX_WAIT_REPLY, nullptr),
              HUX_E_NO_SATELLITE);
    EXPECT_EQ(client.Request(server.m_name, missing, CComVariant(LONG(1)), nullptr, HUX_WAIT_REPLY, nullptr),
              HUX_E_NO_SERVER);
    // What is there is still served.
    EXPECT_EQ(client.Request(L"any", svc, CComVariant(LONG(1)), nullptr, HUX_WAIT_REPLY, nullptr), S_OK);
    EXPECT_EQ(client.Request(server.m_name, svc, CComVariant(LONG(2)), nullptr, HUX_WAIT_REPLY, nullptr),
              S_OK);
    EXPECT_EQ(server.calls, 2);
}

TEST_F(HuxSatelliteTest, RetainedRequestsAreIgnoredAndRepliesGoOnlyToReplyTopics) {
    std::wstring svc = unique(L"Retained");
    std::string allTopic = "hux/all/" + utf8(svc);
    std::string rawReply = "hux/reply/rawret-" + std::to_string(getpid()) + "/1";
    RawClient raw;
    ASSERT_TRUE(raw.connect({allTopic, rawReply}));
    raw.publishRetained(allTopic, requestPayload(svc, 1));
    // Seeing it come back means the broker holds it.
    ASSERT_TRUE(eventually([&] { return raw.countOn(allTopic) == 1; }));
    auto log = std::make_shared<CapturingLog>();
    setCurrentLogger(log);

    EchoServer server(unique(L"retainer"), {svc});
    ASSERT_EQ(server.connect(), S_OK);
    HuxSatellite client;
    ASSERT_EQ(client.Connect(L"127.0.0.1", unique(L"retcli")), S_OK);
    // Queued behind the retained copy on the server's connection: when it is answered, the
    // retained request has been seen.
    EXPECT_EQ(client.Request(server.m_name, svc, CComVariant(LONG(2)), nullptr, HUX_WAIT_REPLY, nullptr),
              S_OK);
    EXPECT_EQ(server.calls, 1);
    EXPECT_EQ(log->count(L"ignored a retained request"), 1);

    // A request naming a request topic as its reply topic would make the server send there.
    raw.publish("hux/any/" + utf8(svc), requestPayload(svc, 3), allTopic);
    // Sent after it on the same connection, so answered after it was dealt with.
    raw.publish("hux/to/" + utf8(server.m_name) + "/" + utf8(svc), requestPayload(svc, 4), rawReply);
    ASSERT_TRUE(eventually([&] { return raw.countOn(rawReply) == 1; }));
    EXPECT_EQ(server.calls, 2);
    EXPECT_EQ(log->count(L"is not below hux/reply/"), 1);
    EXPECT_EQ(raw.countOn(allTopic), 1);

    raw.publishRetained(allTopic, "");
    ASSERT_TRUE(eventually([&] { return raw.countOn(allTopic) == 2; }));
    setCurrentLogger(nullptr);
}

TEST_F(HuxSatelliteTest, TwoClientsOfOneNameAreBothOnTheBus) {
    std::wstring name = unique(L"twin"), svc = unique(L"Twin");
    EchoServer a(name, {svc}), b(name, {svc});
    ASSERT_EQ(a.connect(), S_OK);
    ASSERT_EQ(b.connect(), S_OK);
    HuxSatellite client;
    ASSERT_EQ(client.Connect(L"127.0.0.1", unique(L"twincli")), S_OK);

    // A request to the name reaches both; the first reply counts.
    ASSERT_EQ(client.Request(name, svc, CComVariant(LONG(1)), nullptr, HUX_WAIT_REPLY, nullptr), S_OK);
    ASSERT_TRUE(eventually([&] { return a.calls == 1 && b.calls == 1; }));
    // Each twin gets the replies to its own requests, although both count correlations alike.
    for (auto* twin : {&a, &b}) {
        CComVariant reply;
        ASSERT_EQ(twin->Request(L"any", svc, CComVariant(LONG(5)), &reply, HUX_WAIT_REPLY, nullptr), S_OK);
        EXPECT_EQ(element(reply, 1).lVal, 5);
    }
    // Neither pushed the other off the broker.
    EXPECT_EQ(a.lost, 0);
    EXPECT_EQ(b.lost, 0);

    // One twin leaving leaves the name on the bus with the other.
    ASSERT_EQ(b.Disconnect(), S_OK);
    HuxSatellite late;
    ASSERT_EQ(late.Connect(L"127.0.0.1", unique(L"latecomer")), S_OK);
    EXPECT_EQ(late.DirectoryPingSatellite(name), S_OK);
    EXPECT_EQ(late.Request(name, svc, CComVariant(LONG(6)), nullptr, HUX_WAIT_REPLY, nullptr), S_OK);
    EXPECT_EQ(a.calls + b.calls, 5);
}

}  // namespace
