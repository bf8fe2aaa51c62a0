// Request/reply round trips on loopback: through HuxSatellite, and the same traffic (same topics,
// payload bytes, QoS 1, response topic and correlation data) through plain libmosquitto calls.
// The ratio of the two is what the client's encoding, decoding and dispatch thread cost.
//
// Uses $PELMO_BUS_PORT, or starts a broker through scripts/broker.sh.
#include <benchmark/benchmark.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hux/HuxSatellite.h"
#include "platform/hux/HuxTestBroker.h"
#include "platform/hux/HuxTestValues.h"
#include "platform/hux/HuxWireFormat.h"

namespace {

bool haveBroker(benchmark::State& state) {
    std::string why;
    if (HuxTestBroker::ensureShared(why)) return true;
    state.SkipWithError(why.c_str());
    return false;
}

std::wstring unique(const std::wstring& base) {
    return base + L"-" + std::to_wstring(getpid());
}

CComVariant progressArgs() {
    // The shape of a scan progress report: five values.
    return variantArray({CComVariant(LONG(3)), CComVariant(LONG(57)), CComVariant(L"Das Erste HD"),
                         CComVariant(L"device://tv.channel.dvbt/#/474000/8/9018/4100/4164"),
                         CComVariant(LONG(80))});
}

class EchoServer : public HuxSatellite {
public:
    explicit EchoServer(std::wstring service) : m_service(std::move(service)) {}
    ~EchoServer() override { Disconnect(); }
    HRESULT DeclareServices() override {
        return AddService(m_service, L"",
                          new HuxSatelliteDelegateMember<EchoServer>(this, &EchoServer::echo));
    }
    HRESULT echo(const std::wstring&, VARIANT& args, VARIANT* reply) { return VariantCopy(reply, &args); }

private:
    std::wstring m_service;
};

void BM_HuxSatelliteRoundTrip(benchmark::State& state) {
    if (!haveBroker(state)) return;
    std::wstring svc = unique(L"BenchEcho");
    EchoServer server(svc);
    HuxSatellite client;
    if (server.Connect(L"127.0.0.1", unique(L"bench-srv")) != S_OK ||
        client.Connect(L"127.0.0.1", unique(L"bench-cli")) != S_OK) {
        state.SkipWithError("could not connect");
        return;
    }
    CComVariant args = progressArgs();
    for (auto _ : state) {
        CComVariant reply, status;
        if (client.Request(L"any", svc, args, &reply, HUX_WAIT_REPLY, &status) != S_OK) {
            state.SkipWithError("request failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// The same exchange written directly against libmosquitto: the server echoes the request bytes
// back as its reply; the client waits for the matching correlation data.
struct RawEndpoint {
    mosquitto* mosq = nullptr;
    std::mutex mutex;
    std::condition_variable cond;
    std::string awaited;
    bool answered = false;
    std::atomic<int> subscribed{0};
};

mosquitto* rawClient(RawEndpoint* ep, const std::string& name) {
    mosquitto* m = mosquitto_new(name.c_str(), true, ep);
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_subscribe_v5_callback_set(
        m, [](mosquitto*, void* obj, int, int, const int*, const mosquitto_property*) {
            ++static_cast<RawEndpoint*>(obj)->subscribed;
        });
    return m;
}

void BM_PlainMosquittoRoundTrip(benchmark::State& state) {
    if (!haveBroker(state)) return;
    mosquitto_lib_init();
    std::string svc = HuxWireFormat::toUtf8(unique(L"BenchRaw"));
    std::string replyTopic = "hux/reply/" + HuxWireFormat::toUtf8(unique(L"raw-cli"));
    RawEndpoint server, client;
    server.mosq = rawClient(&server, HuxWireFormat::toUtf8(unique(L"raw-srv")));
    client.mosq = rawClient(&client, HuxWireFormat::toUtf8(unique(L"raw-cli")));
    mosquitto_message_v5_callback_set(
        server.mosq, [](mosquitto* m, void*, const mosquitto_message* msg, const mosquitto_property* props) {
            char* topic = nullptr;
            void* corr = nullptr;
            uint16_t len = 0;
            mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &topic, false);
            mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &corr, &len, false);
            mosquitto_property* out = nullptr;
            mosquitto_property_add_binary(&out, MQTT_PROP_CORRELATION_DATA, corr, len);
            mosquitto_publish_v5(m, nullptr, topic, msg->payloadlen, msg->payload, 1, false, out);
            mosquitto_property_free_all(&out);
            std::free(topic);
            std::free(corr);
        });
    mosquitto_message_v5_callback_set(
        client.mosq, [](mosquitto*, void* obj, const mosquitto_message*, const mosquitto_property* props) {
            auto* ep = static_cast<RawEndpoint*>(obj);
            void* corr = nullptr;
            uint16_t len = 0;
            mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &corr, &len, false);
            std::string c(static_cast<const char*>(corr), len);
            std::free(corr);
            std::lock_guard<std::mutex> lock(ep->mutex);
            if (c == ep->awaited) {
                ep->answered = true;
                ep->cond.notify_all();
            }
        });
    int port = HuxSatellite::BusPort();
    if (mosquitto_connect(server.mosq, "127.0.0.1", port, 10) ||
        mosquitto_connect(client.mosq, "127.0.0.1", port, 10)) {
        state.SkipWithError("could not connect");
        return;
    }
    mosquitto_loop_start(server.mosq);
    mosquitto_loop_start(client.mosq);
    std::string share = "$share/hux/hux/any/" + svc;
    mosquitto_subscribe_v5(server.mosq, nullptr, share.c_str(), 1, 0, nullptr);
    mosquitto_subscribe_v5(client.mosq, nullptr, replyTopic.c_str(), 1, 0, nullptr);
    while (server.subscribed == 0 || client.subscribed == 0) usleep(1000);

    std::string payload, why;
    HuxWireFormat::encodeRequest("raw-cli", "any", unique(L"BenchRaw"), progressArgs(), payload, why);
    std::string topic = "hux/any/" + svc;
    uint64_t next = 1;
    for (auto _ : state) {
        std::string corr = std::to_string(next++);
        {
            std::lock_guard<std::mutex> lock(client.mutex);
            client.awaited = corr;
            client.answered = false;
        }
        mosquitto_property* props = nullptr;
        mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, replyTopic.c_str());
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, corr.data(), uint16_t(corr.size()));
        mosquitto_publish_v5(client.mosq, nullptr, topic.c_str(), int(payload.size()), payload.data(), 1,
                             false, props);
        mosquitto_property_free_all(&props);
        std::unique_lock<std::mutex> lock(client.mutex);
        if (!client.cond.wait_for(lock, std::chrono::seconds(5), [&] { return client.answered; })) {
            state.SkipWithError("no reply");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    for (auto* ep : {&server, &client}) {
        mosquitto_disconnect(ep->mosq);
        mosquitto_loop_stop(ep->mosq, false);
        mosquitto_destroy(ep->mosq);
    }
}

// The wire format alone, on a scan result of 100 channels.
void BM_WireFormatScanResult(benchmark::State& state) {
    std::vector<CComVariant> channels;
    for (int i = 0; i < 100; ++i)
        channels.push_back(
            variantArray({CComVariant(L"Channel " + std::to_wstring(i)),
                          CComVariant(L"device://tv.channel.dvbt/#/474000/8/9018/4100/" + std::to_wstring(i)),
                          CComVariant(LONG(80)), CComVariant(L"474000")}));
    CComVariant items = variantArray(channels);
    std::string json, why;
    size_t bytes = 0;
    for (auto _ : state) {
        HuxWireFormat::encodeVariant(items, json, why);
        CComVariant back;
        HuxWireFormat::decodeVariant(json.data(), json.size(), &back, why);
        bytes += json.size();
    }
    state.SetBytesProcessed(int64_t(bytes));
}
BENCHMARK(BM_WireFormatScanResult);

// Keeps the round-trip rates of each run so that main can set the two side by side.
class RateReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs) {
            if (r.error_occurred || r.real_accumulated_time <= 0) continue;
            double rate = static_cast<double>(r.iterations) / r.real_accumulated_time;
            std::string name = r.benchmark_name();
            if (name.rfind("HuxSatelliteRoundTrip", 0) == 0) hux.push_back(rate);
            if (name.rfind("PlainMosquittoRoundTrip", 0) == 0) plain.push_back(rate);
        }
    }
    std::vector<double> hux, plain;
};

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

// The two round trips run in alternating rounds, so that a change in the machine's load falls on
// both alike; the medians and their ratio close the report.
int main(int argc, char** argv) {
    // Many short rounds: on a shared machine one slow stretch then spoils one round, not a side.
    const int rounds = 9;
    for (int r = 1; r <= rounds; ++r) {
        std::string suffix = "/round:" + std::to_string(r);
        benchmark::RegisterBenchmark(("HuxSatelliteRoundTrip" + suffix).c_str(), BM_HuxSatelliteRoundTrip)
            ->UseRealTime()
            ->MinTime(0.5);
        benchmark::RegisterBenchmark(("PlainMosquittoRoundTrip" + suffix).c_str(), BM_PlainMosquittoRoundTrip)
            ->UseRealTime()
            ->MinTime(0.5);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    double hux = median(reporter.hux), plain = median(reporter.plain);
    if (hux > 0 && plain > 0)
        std::printf(
            "round trips/s, median of %zu and %zu rounds: HuxSatellite %.0f, plain libmosquitto %.0f, "
            "ratio %.2f\n",
            reporter.hux.size(), reporter.plain.size(), hux, plain, hux / plain);
    return 0;
}
