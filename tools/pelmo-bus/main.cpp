// pelmo-bus: send requests on the message bus and watch its traffic.
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/time.h>
#include <vector>

#include "base/CBBLog.h"
#include "base/Format.h"
#include "base/Log.h"
#include "base/Text.h"
#include "platform/hux/HuxSatellite.h"
#include "platform/hux/HuxWireFormat.h"
#include "tools/pelmo-bus/BusValueText.h"

namespace {

std::atomic<bool> g_stop{false};

void onSignal(int) {
    g_stop = true;
}

// The bus library's messages on stderr, at once: warnings by default, more with -v.
class StderrLog : public CBBLog {
public:
    explicit StderrLog(int level) : CBBLog(L"pelmo-bus.log", false, 0) { CBBLog::setLevel(level); }

    void vlog(const wchar_t* fmt, va_list args, int level) override {
        if (level > getLevel()) return;
        std::string line = "pelmo-bus: " + WideToUtf8(VFormatWideString(fmt, args));
        if (line.back() != '\n') line.push_back('\n');
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
};

// A client or service name as the bus takes it: one topic level.
bool isBusName(const std::string& s) {
    if (s.empty() || s.size() > 256) return false;
    std::wstring w;
    if (!HuxWireFormat::fromUtf8(s, w)) return false;
    return s.find_first_of("/+#") == std::string::npos;
}

// A whole non-negative number that fits an int; false for "abc", "5x", "-1".
bool parseCount(const char* text, long long max, int& out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (*end != '\0' || errno || v < 0 || v > max || text[0] == '-' || text[0] == '+') return false;
    out = static_cast<int>(v);
    return true;
}

int badOption(const std::string& what) {
    std::fprintf(stderr, "pelmo-bus: %s\n", what.c_str());
    return 2;
}

int usage() {
    std::fprintf(
        stderr,
        "usage: pelmo-bus [-v|-vv] COMMAND ...\n"
        "       pelmo-bus call [--any|--all|--to CLIENT] [--no-wait] [--array] [--timeout MS] SERVICE "
        "[ARG...]\n"
        "       pelmo-bus watch [--replies] [--count N] [SERVICE...]\n"
        "       pelmo-bus serve [--status N] SERVICE...\n"
        "ARG is a typed value: i4:5 s:text bool:true r8:2.5 date:2026-12-06T10:30:00 bytes:0a0b\n"
        "  empty null json:{\"vt\":\"I4\",\"v\":5} (i1 ui1 i2 ui2 ui4 i8 ui8 int uint cy error r4 too).\n"
        "One ARG is sent as it is, several as an array of variants (--array: always an array).\n"
        "The broker is 127.0.0.1 on port $PELMO_BUS_PORT (default 1883). The bus's warnings go\n"
        "to stderr; -v adds its information messages, -vv its debug messages.\n"
        "Exit status: 0 done, 1 the bus failed (no broker, no server, no reply), 2 bad arguments,\n"
        "3 the server answered a failure status.\n");
    return 2;
}

std::wstring wide(const std::string& s) {
    std::wstring w;
    if (!HuxWireFormat::fromUtf8(s, w)) w.clear();
    return w;
}

std::string clientName(const char* role) {
    return std::string("pelmo-bus-") + role + "-" + std::to_string(getpid());
}

std::string statusText(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    return buf;
}

int call(int argc, char** argv) {
    std::string target = "any";
    bool wait = true, forceArray = false;
    int timeout = 5000, i = 0;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        std::string opt = argv[i];
        if (opt == "--any")
            target = "any";
        else if (opt == "--all")
            target = "all";
        else if (opt == "--to" && i + 1 < argc) {
            target = argv[++i];
            if (!isBusName(target) || target == "all" || target == "any")
                return badOption("\"" + target + "\" cannot be a client name (empty, or holds / + #)");
        } else if (opt == "--no-wait")
            wait = false;
        else if (opt == "--array")
            forceArray = true;
        else if (opt == "--timeout" && i + 1 < argc) {
            if (!parseCount(argv[++i], 3600 * 1000, timeout) || timeout == 0)
                return badOption(std::string("--timeout takes milliseconds from 1 to 3600000, not \"") +
                                 argv[i] + "\"");
        } else
            return usage();
    }
    if (i >= argc) return usage();
    std::string service = argv[i++];
    if (!isBusName(service))
        return badOption("\"" + service + "\" cannot be a service name (empty, not UTF-8, or holds / + #)");
    std::vector<CComVariant> values;
    for (; i < argc; ++i) {
        CComVariant v;
        std::string why;
        if (!BusValueText::parse(argv[i], &v, why)) {
            std::fprintf(stderr, "pelmo-bus: argument %s: %s\n", argv[i], why.c_str());
            return 2;
        }
        values.push_back(std::move(v));
    }
    CComVariant args;
    if (values.size() == 1 && !forceArray) {
        args = values[0];
    } else if (!values.empty() || forceArray) {
        args.vt = VT_ARRAY | VT_VARIANT;
        args.parray = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(values.size()));
        for (LONG k = 0; k < static_cast<LONG>(values.size()); ++k)
            SafeArrayPutElement(args.parray, &k, static_cast<const VARIANT*>(&values[k]));
    }

    HuxSatellite bus;
    bus.SetRequestTimeout(timeout);
    if (FAILED(bus.Connect(L"127.0.0.1", wide(clientName("call"))))) {
        std::fprintf(stderr, "pelmo-bus: no broker on 127.0.0.1:%d\n", HuxSatellite::BusPort());
        return 1;
    }
    CComVariant reply, status;
    HRESULT hr =
        bus.Request(wide(target), wide(service), args, &reply, wait ? HUX_WAIT_REPLY : HUX_NO_REPLY, &status);
    if (FAILED(hr)) {
        const char* why = hr == HUX_E_NO_SERVER       ? "nobody offers this service"
                          : hr == HUX_E_NO_SATELLITE  ? "no client of that name is on the bus"
                          : hr == HUX_E_TIMEOUT       ? "no reply in time"
                          : hr == HUX_E_BAD_MESSAGE   ? "the message was refused as malformed"
                          : hr == HUX_E_NOT_CONNECTED ? "the bus is not reachable"
                                                      : "the request could not be sent";
        std::fprintf(stderr, "pelmo-bus: %s to %s failed %s: %s\n", service.c_str(), target.c_str(),
                     statusText(hr).c_str(), why);
        return 1;
    }
    // Leaving waits until the broker has acknowledged the request.
    if (bus.Disconnect() == HUX_E_TIMEOUT) {
        std::fprintf(stderr, "pelmo-bus: %s to %s: the broker did not acknowledge the request in time\n",
                     service.c_str(), target.c_str());
        return 1;
    }
    if (!wait) {
        std::printf("sent\n");
        return 0;
    }
    std::printf("status %s\nreply %s\n", statusText(status.lVal).c_str(),
                BusValueText::format(reply).c_str());
    return FAILED(status.lVal) ? 3 : 0;
}

std::string now() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    std::tm tm{};
    localtime_r(&tv.tv_sec, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03d", static_cast<int>(tv.tv_usec / 1000));
    return std::string(buf) + ms;
}

struct Watch {
    std::vector<std::string> topics;
    int port = 0;
    std::atomic<int> remaining{-1};   // lines left to print, -1 for no limit
    std::atomic<int> unconfirmed{0};  // subscriptions of this connection not acknowledged yet
    bool everWatched = false;         // network thread only
    std::atomic<bool> connected{false};
};
// One line per message: time, target, service, sender and the arguments.
void printMessage(const mosquitto_message* m) {
    std::string topic = m->topic;
    const char* data = static_cast<const char*>(m->payload);
    size_t len = m->payloadlen > 0 ? static_cast<size_t>(m->payloadlen) : 0;
    std::string why;
    if (topic.compare(0, 10, "hux/reply/") == 0) {
        HuxReplyMessage reply;
        if (!HuxWireFormat::decodeReply(data, len, reply, why)) {
            std::printf("%s %s: malformed reply (%s)\n", now().c_str(), topic.c_str(), why.c_str());
            return;
        }
        std::printf("%s reply to %s from %s status %s %s%s%s\n", now().c_str(), topic.substr(10).c_str(),
                    reply.from.c_str(), statusText(reply.status).c_str(),
                    BusValueText::format(reply.reply).c_str(),
                    reply.error.empty() ? "" : " error: ", reply.error.c_str());
        return;
    }
    HuxRequestMessage request;
    if (!HuxWireFormat::decodeRequest(data, len, request, why)) {
        std::printf("%s %s: malformed request (%s)\n", now().c_str(), topic.c_str(), why.c_str());
        return;
    }
    std::printf("%s %s %s from %s %s\n", now().c_str(), request.target.c_str(),
                HuxWireFormat::toUtf8(request.service).c_str(), request.from.c_str(),
                BusValueText::format(request.args).c_str());
}

int watch(int argc, char** argv) {
    Watch state;
    bool replies = false;
    std::vector<std::string> services;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--count" && i + 1 < argc) {
            int n;
            if (!parseCount(argv[++i], 1 << 30, n) || n == 0)
                return badOption(std::string("--count takes a number of messages from 1, not \"") + argv[i] +
                                 "\"");
            state.remaining = n;
        } else if (arg == "--replies")
            replies = true;
        else if (arg.compare(0, 1, "-") == 0)
            return usage();
        else if (!isBusName(arg))
            return badOption("\"" + arg + "\" cannot be a service name (empty, not UTF-8, or holds / + #)");
        else
            services.push_back(arg);
    }
    if (services.empty()) state.topics = {"hux/all/#", "hux/any/#", "hux/to/#"};
    for (const auto& s : services) {
        state.topics.push_back("hux/all/" + s);
        state.topics.push_back("hux/any/" + s);
        state.topics.push_back("hux/to/+/" + s);
    }
    if (replies) state.topics.push_back("hux/reply/#");
    state.port = HuxSatellite::BusPort();

    mosquitto_lib_init();
    mosquitto* mosq = mosquitto_new(clientName("watch").c_str(), true, &state);
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_reconnect_delay_set(mosq, 1, 2, false);
    // A clean session forgets the subscriptions: every (re)connection makes them again.
    mosquitto_connect_callback_set(mosq, [](mosquitto* m, void* obj, int rc) {
        auto* w = static_cast<Watch*>(obj);
        if (rc != 0) {
            std::fprintf(stderr, "pelmo-bus: the broker refused the connection (%s)\n",
                         mosquitto_connack_string(rc));
            return;
        }
        w->connected = true;
        w->unconfirmed = static_cast<int>(w->topics.size());
        for (const auto& t : w->topics)
            if (mosquitto_subscribe(m, nullptr, t.c_str(), 1) != MOSQ_ERR_SUCCESS)
                std::fprintf(stderr, "pelmo-bus: could not subscribe %s\n", t.c_str());
    });
    mosquitto_subscribe_callback_set(mosq, [](mosquitto*, void* obj, int, int count, const int* granted) {
        auto* w = static_cast<Watch*>(obj);
        for (int i = 0; i < count; ++i)
            if (granted[i] > 2) std::fprintf(stderr, "pelmo-bus: the broker refused a subscription\n");
        if (--w->unconfirmed != 0) return;
        if (!w->everWatched)
            std::fprintf(stderr, "pelmo-bus: watching %zu topics on 127.0.0.1:%d\n", w->topics.size(),
                         w->port);
        else
            std::fprintf(stderr, "pelmo-bus: the broker is back, watching %zu topics again\n",
                         w->topics.size());
        w->everWatched = true;
    });
    mosquitto_disconnect_callback_set(mosq, [](mosquitto*, void* obj, int rc) {
        auto* w = static_cast<Watch*>(obj);
        if (rc != 0 && !g_stop && w->connected.exchange(false))
            std::fprintf(stderr, "pelmo-bus: lost the broker on 127.0.0.1:%d, reconnecting\n", w->port);
    });
    mosquitto_message_callback_set(mosq, [](mosquitto*, void* obj, const mosquitto_message* m) {
        auto* w = static_cast<Watch*>(obj);
        if (w->remaining == 0) return;
        printMessage(m);
        std::fflush(stdout);
        if (w->remaining > 0 && --w->remaining == 0) g_stop = true;
    });
    int rc = mosquitto_connect(mosq, "127.0.0.1", state.port, 10);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_start(mosq);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "pelmo-bus: no broker on 127.0.0.1:%d\n", state.port);
        mosquitto_destroy(mosq);
        return 1;
    }
    while (!g_stop) usleep(50 * 1000);
    mosquitto_disconnect(mosq);
    mosquitto_loop_stop(mosq, false);
    mosquitto_destroy(mosq);
    return 0;
}

// A stand-in server: answers every request with the given status and the arguments it received.
class Server : public HuxSatellite {
public:
    Server(std::vector<std::string> services, HRESULT status)
        : m_services(std::move(services)), m_status(status) {}
    ~Server() override { Disconnect(); }

    HRESULT DeclareServices() override {
        for (const auto& s : m_services)
            AddService(wide(s), L"", new HuxSatelliteDelegateMember<Server>(this, &Server::serve));
        return S_OK;
    }

    void OnStatusChange(HRESULT status) override {
        if (status == S_OK) std::fprintf(stderr, "pelmo-bus: the broker is back, serving again\n");
    }

    HRESULT serve(const std::wstring& service, VARIANT& args, VARIANT* reply) {
        std::printf("%s %s %s\n", now().c_str(), HuxWireFormat::toUtf8(service).c_str(),
                    BusValueText::format(args).c_str());
        std::fflush(stdout);
        VariantCopy(reply, &args);
        return m_status;
    }

private:
    std::vector<std::string> m_services;
    HRESULT m_status;
};

int serve(int argc, char** argv) {
    HRESULT status = S_OK;
    std::vector<std::string> services;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--status" && i + 1 < argc) {
            // Decimal or 0x hex, as a 32-bit status: 0x80004005 and -2147467259 are the same.
            const char* text = argv[++i];
            char* end = nullptr;
            errno = 0;
            long long v = std::strtoll(text, &end, 0);
            if (!*text || *end || errno || v < INT32_MIN || v > UINT32_MAX)
                return badOption(
                    std::string("--status takes a 32-bit status such as 0 or 0x80004005, not \"") + text +
                    "\"");
            status = static_cast<HRESULT>(static_cast<uint32_t>(v));
        } else if (arg.compare(0, 1, "-") == 0)
            return usage();
        else if (!isBusName(arg))
            return badOption("\"" + arg + "\" cannot be a service name (empty, not UTF-8, or holds / + #)");
        else
            services.push_back(arg);
    }
    if (services.empty()) return usage();
    Server server(services, status);
    if (FAILED(server.Connect(L"127.0.0.1", wide(clientName("serve"))))) {
        std::fprintf(stderr, "pelmo-bus: no broker on 127.0.0.1:%d\n", HuxSatellite::BusPort());
        return 1;
    }
    std::wstring id;
    server.GetSatelliteId(id);
    std::fprintf(stderr, "pelmo-bus: serving %zu services as %s\n", services.size(),
                 HuxWireFormat::toUtf8(id).c_str());
    while (!g_stop) usleep(100 * 1000);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    // Output goes to pipes as it happens.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int level = LOG_WARN, first = 1;
    for (; first < argc; ++first) {
        std::string opt = argv[first];
        if (opt == "-v" || opt == "--verbose")
            level = LOG_INFO;
        else if (opt == "-vv")
            level = LOG_DEBUG;
        else
            break;
    }
    setCurrentLogger(std::make_shared<StderrLog>(level));
    if (argc - first < 1) return usage();
    std::string cmd = argv[first];
    int rest = argc - first - 1;
    char** args = argv + first + 1;
    int rc;
    if (cmd == "call")
        rc = call(rest, args);
    else if (cmd == "watch")
        rc = watch(rest, args);
    else if (cmd == "serve")
        rc = serve(rest, args);
    else
        rc = usage();
    setCurrentLogger(nullptr);
    return rc;
}
