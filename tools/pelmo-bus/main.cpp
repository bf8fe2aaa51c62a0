// pelmo-bus: send requests on the message bus and watch its traffic.
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/time.h>
#include <vector>

#include "platform/hux/HuxSatellite.h"
#include "platform/hux/HuxWireFormat.h"
#include "tools/pelmo-bus/BusValueText.h"

namespace {

std::atomic<bool> g_stop{false};

void onSignal(int) { g_stop = true; }

int usage() {
    std::fprintf(stderr,
                 "usage: pelmo-bus call [--any|--all|--to CLIENT] [--no-wait] [--array] [--timeout MS] SERVICE [ARG...]\n"
                 "       pelmo-bus watch [--replies] [--count N] [SERVICE...]\n"
                 "       pelmo-bus serve [--status N] SERVICE...\n"
                 "ARG is a typed value: i4:5 s:text bool:true r8:2.5 date:2026-12-06T10:30:00 bytes:0a0b\n"
                 "  empty null json:{\"vt\":\"I4\",\"v\":5} (i1 ui1 i2 ui2 ui4 i8 ui8 int uint cy error r4 too).\n"
                 "One ARG is sent as it is, several as an array of variants (--array: always an array).\n"
                 "The broker is 127.0.0.1 on port $PELMO_BUS_PORT (default 1883).\n");
    return 2;
}

std::wstring wide(const std::string& s) {
    std::wstring w;
    if (!HuxWireFormat::fromUtf8(s, w)) w.clear();
    return w;
}

std::string clientName(const char* role) { return std::string("pelmo-bus-") + role + "-" + std::to_string(getpid()); }

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
        else if (opt == "--to" && i + 1 < argc)
            target = argv[++i];
        else if (opt == "--no-wait")
            wait = false;
        else if (opt == "--array")
            forceArray = true;
        else if (opt == "--timeout" && i + 1 < argc)
            timeout = std::atoi(argv[++i]);
        else
            return usage();
    }
    if (i >= argc) return usage();
    std::string service = argv[i++];
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
    HRESULT hr = bus.Request(wide(target), wide(service), args, &reply, wait ? HUX_WAIT_REPLY : HUX_NO_REPLY, &status);
    if (FAILED(hr)) {
        const char* why = hr == HUX_E_NO_SERVER     ? "nobody offers this service"
                          : hr == HUX_E_TIMEOUT     ? "no reply in time"
                          : hr == HUX_E_BAD_MESSAGE ? "the message was refused as malformed"
                                                    : "the bus is not reachable";
        std::fprintf(stderr, "pelmo-bus: %s to %s failed %s: %s\n", service.c_str(), target.c_str(),
                     statusText(hr).c_str(), why);
        return 1;
    }
    if (!wait) {
        std::printf("sent\n");
        return 0;
    }
    std::printf("status %s\nreply %s\n", statusText(status.lVal).c_str(), BusValueText::format(reply).c_str());
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
    int remaining = -1;  // lines left to print, -1 for no limit
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
                    reply.from.c_str(), statusText(reply.status).c_str(), BusValueText::format(reply.reply).c_str(),
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
        if (arg == "--count" && i + 1 < argc)
            state.remaining = std::atoi(argv[++i]);
        else if (arg == "--replies")
            replies = true;
        else if (arg.compare(0, 2, "--") == 0)
            return usage();
        else
            services.push_back(arg);
    }
    std::vector<std::string> topics;
    if (services.empty()) topics = {"hux/all/#", "hux/any/#", "hux/to/#"};
    for (const auto& s : services) {
        topics.push_back("hux/all/" + s);
        topics.push_back("hux/any/" + s);
        topics.push_back("hux/to/+/" + s);
    }
    if (replies) topics.push_back("hux/reply/#");

    mosquitto_lib_init();
    mosquitto* mosq = mosquitto_new(clientName("watch").c_str(), true, &state);
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_message_callback_set(mosq, [](mosquitto*, void* obj, const mosquitto_message* m) {
        auto* w = static_cast<Watch*>(obj);
        if (w->remaining == 0) return;
        printMessage(m);
        std::fflush(stdout);
        if (w->remaining > 0 && --w->remaining == 0) g_stop = true;
    });
    if (mosquitto_connect(mosq, "127.0.0.1", HuxSatellite::BusPort(), 10) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "pelmo-bus: no broker on 127.0.0.1:%d\n", HuxSatellite::BusPort());
        mosquitto_destroy(mosq);
        return 1;
    }
    for (const auto& t : topics) mosquitto_subscribe(mosq, nullptr, t.c_str(), 1);
    std::fprintf(stderr, "pelmo-bus: watching %zu topics on 127.0.0.1:%d\n", topics.size(), HuxSatellite::BusPort());
    int rc = MOSQ_ERR_SUCCESS;
    while (!g_stop) {
        rc = mosquitto_loop(mosq, 200, 1);
        if (rc != MOSQ_ERR_SUCCESS && !g_stop) {
            // The broker went away: try again until it is back or we are stopped.
            usleep(500 * 1000);
            mosquitto_reconnect(mosq);
        }
    }
    mosquitto_disconnect(mosq);
    mosquitto_destroy(mosq);
    return 0;
}

// A stand-in server: answers every request with the given status and the arguments it received.
class Server : public HuxSatellite {
public:
    Server(std::vector<std::string> services, HRESULT status) : m_services(std::move(services)), m_status(status) {}
    ~Server() override { Disconnect(); }

    HRESULT DeclareServices() override {
        for (const auto& s : m_services)
            AddService(wide(s), L"", new HuxSatelliteDelegateMember<Server>(this, &Server::serve));
        return S_OK;
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
        if (arg == "--status" && i + 1 < argc)
            status = static_cast<HRESULT>(std::strtoll(argv[++i], nullptr, 0));
        else if (arg.compare(0, 2, "--") == 0)
            return usage();
        else
            services.push_back(arg);
    }
    if (services.empty()) return usage();
    Server server(services, status);
    if (FAILED(server.Connect(L"127.0.0.1", wide(clientName("serve"))))) {
        std::fprintf(stderr, "pelmo-bus: no broker on 127.0.0.1:%d\n", HuxSatellite::BusPort());
        return 1;
    }
    std::fprintf(stderr, "pelmo-bus: serving %zu services\n", services.size());
    while (!g_stop) usleep(100 * 1000);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    if (argc < 2) return usage();
    std::string cmd = argv[1];
    if (cmd == "call") return call(argc - 2, argv + 2);
    if (cmd == "watch") return watch(argc - 2, argv + 2);
    if (cmd == "serve") return serve(argc - 2, argv + 2);
    return usage();
}
