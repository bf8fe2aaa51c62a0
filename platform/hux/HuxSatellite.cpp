#include "platform/hux/HuxSatellite.h"

#include <mosquitto.h>
#include <pthread.h>
#include <mqtt_protocol.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "base/HuxException.h"
#include "base/Log.h"
#include "platform/hux/HuxWireFormat.h"

namespace {

constexpr const char* kAllPrefix = "hux/all/";
constexpr const char* kAnyPrefix = "hux/any/";
constexpr const char* kToPrefix = "hux/to/";
constexpr const char* kReplyPrefix = "hux/reply/";
constexpr const char* kClientsPrefix = "hux/clients/";
constexpr const char* kDefaultGroup = "hux";
constexpr int kKeepAliveSeconds = 10;
constexpr size_t kMaxQueuedJobs = 1024;
constexpr int kSubscribeWaitMs = 2000;

std::once_flag g_libInit;

// True on the network thread of libmosquitto, which delivers replies: a request made there
// cannot wait for its own reply.
thread_local bool t_onNetworkThread = false;

// A name used as one topic level: not empty, no level separator, no wildcard.
bool isTopicLevel(const std::string& s) {
    if (s.empty() || s.size() > 256) return false;
    for (char c : s)
        if (c == '/' || c == '+' || c == '#' || c == '\0') return false;
    return true;
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// A topic a reply may go to: below the reply prefix, and a topic name rather than a filter.
bool isReplyTopic(const std::string& topic) {
    if (!startsWith(topic, kReplyPrefix) || topic.size() == std::strlen(kReplyPrefix)) return false;
    return topic.find_first_of(std::string("+#\0", 3)) == std::string::npos;
}

// 64 random bits in hex: two clients of one name never share a connection id.
std::string newConnectionId() {
    std::random_device rd;
    uint64_t v = (uint64_t(rd()) << 32) ^ rd() ^ (uint64_t(getpid()) << 16);
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

// Callbacks from the network thread of libmosquitto.
void cbConnect(mosquitto*, void* obj, int rc, int, const mosquitto_property*) {
    t_onNetworkThread = true;
    static_cast<HuxSatellite*>(obj)->onConnect(rc);
}
void cbDisconnect(mosquitto*, void* obj, int rc, const mosquitto_property*) {
    t_onNetworkThread = true;
    static_cast<HuxSatellite*>(obj)->onDisconnect(rc);
}
void cbPublish(mosquitto*, void* obj, int mid, int reason, const mosquitto_property*) {
    static_cast<HuxSatellite*>(obj)->onPublish(mid, reason);
}
void cbSubscribe(mosquitto*, void* obj, int mid, int, const int*, const mosquitto_property*) {
    static_cast<HuxSatellite*>(obj)->onSubscribed(mid);
}
void cbUnsubscribe(mosquitto*, void* obj, int mid, const mosquitto_property*) {
    static_cast<HuxSatellite*>(obj)->onSubscribed(mid);
}
void cbMessage(mosquitto*, void* obj, const mosquitto_message* msg, const mosquitto_property* props) {
    t_onNetworkThread = true;
    static_cast<HuxSatellite*>(obj)->onMessage(msg, props);
}

}  // namespace

struct HuxSatellite::Pending {
    std::condition_variable cond;
    bool done = false;
    HRESULT result = S_OK;
    HuxReplyMessage reply;
};

HuxSatellite::HuxSatellite() = default;

HuxSatellite::~HuxSatellite() {
    Disconnect();
}

int HuxSatellite::BusPort() {
    const char* env = std::getenv("PELMO_BUS_PORT");
    if (env && *env) {
        char* end = nullptr;
        long port = std::strtol(env, &end, 10);
        if (*end == '\0' && port > 0 && port < 65536) return static_cast<int>(port);
        warn(L"HuxSatellite: PELMO_BUS_PORT \"%S\" is not a port number, using 1883", env);
    }
    return 1883;
}

HRESULT HuxSatellite::Connect(const std::wstring& host, const std::wstring& name) {
    return connect(host, name, nullptr, nullptr);
}

HRESULT HuxSatellite::ConnectUser(const std::wstring& host, const std::wstring& name,
                                  const std::wstring& user, const std::wstring& password) {
    std::string u = HuxWireFormat::toUtf8(user), p = HuxWireFormat::toUtf8(password);
    return connect(host, name, &u, &p);
}

HRESULT HuxSatellite::connect(const std::wstring& host, const std::wstring& name, const std::string* user,
                              const std::string* password) {
    if (m_mosq) Disconnect();
    std::string clientName = HuxWireFormat::toUtf8(name);
    if (!isTopicLevel(clientName)) {
        error(L"HuxSatellite::Connect: \"%s\" cannot be a client name (empty, or holds / + #)", name.c_str());
        return E_INVALIDARG;
    }
    std::call_once(g_libInit, [] { mosquitto_lib_init(); });
    m_name = clientName;
    m_connId = newConnectionId();
    m_replyTopic = kReplyPrefix + m_name + "/" + m_connId;
    m_presenceTopic = kClientsPrefix + m_name + "/" + m_connId;
    m_closing = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_connectResult = -1;
        m_presenceReady = false;
    }
    // The MQTT client id is unique per connection: the broker drops an older connection of the
    // same id, and two processes of one client name would push each other off forever.
    std::string mqttId = m_name + "~" + m_connId;
    m_mosq = mosquitto_new(mqttId.c_str(), true, this);
    if (!m_mosq) {
        error(L"HuxSatellite::Connect: could not create the MQTT client");
        return E_OUTOFMEMORY;
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Without TCP_NODELAY each acknowledged message waits for Nagle's timer (~40 ms).
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(m_mosq, cbConnect);
    mosquitto_disconnect_v5_callback_set(m_mosq, cbDisconnect);
    mosquitto_publish_v5_callback_set(m_mosq, cbPublish);
    mosquitto_message_v5_callback_set(m_mosq, cbMessage);
    mosquitto_subscribe_v5_callback_set(m_mosq, cbSubscribe);
    mosquitto_unsubscribe_v5_callback_set(m_mosq, cbUnsubscribe);
    mosquitto_reconnect_delay_set(m_mosq, 1, 2, false);
    // When the client vanishes the broker empties its presence.
    mosquitto_will_set_v5(m_mosq, m_presenceTopic.c_str(), 0, nullptr, 1, true, nullptr);
    if (user) mosquitto_username_pw_set(m_mosq, user->c_str(), password ? password->c_str() : nullptr);

    {
        std::lock_guard<std::mutex> lock(m_jobLock);
        m_stopJobs = false;
    }
    m_dispatcher = std::thread([this] { dispatchLoop(); });

    std::string hostName = HuxWireFormat::toUtf8(host);
    int port = BusPort();
    int rc = mosquitto_connect_bind_v5(m_mosq, hostName.c_str(), port, kKeepAliveSeconds, nullptr, nullptr);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_start(m_mosq);
    if (rc != MOSQ_ERR_SUCCESS) {
        error(L"HuxSatellite::Connect %s: no broker at %S:%d (%S)", name.c_str(), hostName.c_str(), port,
              rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
        Disconnect();
        return HUX_E_NOT_CONNECTED;
    }
    int result;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_connectCond.wait_for(lock, std::chrono::milliseconds(m_connectTimeoutMs.load()),
                               [this] { return m_connectResult != -1; });
        result = m_connectResult;
    }
    if (result != 0) {
        error(L"HuxSatellite::Connect %s: the broker at %S:%d did not accept the client (%S)", name.c_str(),
              hostName.c_str(), port, result == -1 ? "no answer in time" : mosquitto_reason_string(result));
        Disconnect();
        return HUX_E_NOT_CONNECTED;
    }
    waitSubscriptions();
    waitPresence();
    info(L"HuxSatellite: %s connected to %S:%d", name.c_str(), hostName.c_str(), port);
    if (!m_declared) {
        m_declared = true;
        DeclareServices();
    }
    return S_OK;
}

HRESULT HuxSatellite::Disconnect() {
    if (!m_mosq) return S_OK;
    m_closing = true;
    // A normal disconnection does not publish the will: withdraw the presence ourselves.
    if (m_connected) publish(m_presenceTopic, std::string(), true, nullptr);
    bool flushed = flush();
    m_connected = false;
    // Also ends the reconnect attempts of a network thread that lost the broker.
    mosquitto_disconnect_v5(m_mosq, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    mosquitto_loop_stop(m_mosq, false);
    failPending(HUX_E_NOT_CONNECTED);
    {
        std::lock_guard<std::mutex> lock(m_jobLock);
        m_stopJobs = true;
        m_jobs.clear();
    }
    m_jobCond.notify_all();
    if (m_dispatcher.joinable()) {
        // A handler that disconnects its own client cannot wait for itself.
        if (m_dispatcher.get_id() == std::this_thread::get_id())
            m_dispatcher.detach();
        else
            m_dispatcher.join();
    }
    mosquitto_destroy(m_mosq);
    m_mosq = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& s : m_services) s.second.subscribed = false;
        m_presence.clear();
    }
    {
        std::lock_guard<std::mutex> lock(m_midLock);
        m_midToCorrelation.clear();
        m_subscribing.clear();
        m_unacked.clear();
    }
    return flushed ? S_OK : HUX_E_TIMEOUT;
}

int HuxSatellite::publish(const std::string& topic, const std::string& payload, bool retain,
                          const mosquitto_property* props, int* midOut) {
    if (!m_mosq) return MOSQ_ERR_NO_CONN;
    // Held across the call: the acknowledgement can arrive before mosquitto_publish returns.
    std::lock_guard<std::mutex> lock(m_midLock);
    int mid = 0;
    int rc = mosquitto_publish_v5(m_mosq, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                  payload.data(), 1, retain, props);
    if (rc == MOSQ_ERR_SUCCESS) m_unacked.insert(mid);
    if (midOut) *midOut = mid;
    return rc;
}

bool HuxSatellite::flush() {
    std::unique_lock<std::mutex> lock(m_midLock);
    // The network thread cannot wait for the acknowledgements it would itself read.
    if (t_onNetworkThread) return m_unacked.empty();
    if (m_subscribeCond.wait_for(lock, std::chrono::milliseconds(kFlushWaitMs),
                                 [this] { return m_unacked.empty(); }))
        return true;
    warn(L"HuxSatellite %S: leaving with %d messages the broker did not acknowledge within %d ms",
         m_name.c_str(), static_cast<int>(m_unacked.size()), kFlushWaitMs);
    return false;
}

void HuxSatellite::waitPresence() {
    // Bounded like the subscriptions: without it, requests fall back on the broker's answers.
    std::unique_lock<std::mutex> lock(m_lock);
    m_connectCond.wait_for(lock, std::chrono::milliseconds(kSubscribeWaitMs),
                           [this] { return m_presenceReady; });
}

void HuxSatellite::onConnect(int rc) {
    if (rc != 0) {
        warn(L"HuxSatellite %S: the broker refused the connection (%S)", m_name.c_str(),
             mosquitto_reason_string(rc));
        std::lock_guard<std::mutex> lock(m_lock);
        m_connectResult = rc;
        m_connectCond.notify_all();
        return;
    }
    std::vector<std::pair<std::string, std::string>> services;
    std::set<std::string> wasAvailable;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        wasAvailable = availableLocked();
        // Presence is rebuilt from the retained messages that the subscription below brings.
        m_presence.clear();
        m_presenceReady = false;
        for (auto& s : m_services) services.emplace_back(s.first, s.second.group);
    }
    notifyAvailability(wasAvailable);
    subscribe(m_replyTopic, true);
    subscribe(std::string(kClientsPrefix) + "+/+", true);
    for (const auto& s : services) subscribeService(s.first, s.second, true);
    m_connected = true;
    publishPresence();
    bool reconnected = m_everConnected.exchange(true);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_connectResult = 0;
    }
    m_connectCond.notify_all();
    if (reconnected) {
        info(L"HuxSatellite %S: reconnected, %d services subscribed again", m_name.c_str(),
             static_cast<int>(services.size()));
        if (!m_closing) OnStatusChange(S_OK);
    }
}

void HuxSatellite::onDisconnect(int rc) {
    bool was = m_connected.exchange(false);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& s : m_services) s.second.subscribed = false;
        m_presenceReady = false;
        if (m_connectResult == -1) m_connectResult = rc ? rc : MQTT_RC_UNSPECIFIED;
    }
    m_connectCond.notify_all();
    failPending(HUX_E_NOT_CONNECTED);
    if (m_closing) return;
    if (was)
        warn(L"HuxSatellite %S: lost the broker (%S), reconnecting", m_name.c_str(), mosquitto_strerror(rc));
    if (was) OnStatusChange(HUX_E_NOT_CONNECTED);
}

void HuxSatellite::subscribe(const std::string& topic, bool on) {
    if (!m_mosq) return;
    std::lock_guard<std::mutex> lock(m_midLock);
    int mid = 0;
    int rc = on ? mosquitto_subscribe_v5(m_mosq, &mid, topic.c_str(), 1, 0, nullptr)
                : mosquitto_unsubscribe_v5(m_mosq, &mid, topic.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        warn(L"HuxSatellite %S: %S %S failed (%S)", m_name.c_str(), on ? "subscribe" : "unsubscribe",
             topic.c_str(), mosquitto_strerror(rc));
        return;
    }
    m_subscribing.insert(mid);
}

void HuxSatellite::onSubscribed(int mid) {
    {
        std::lock_guard<std::mutex> lock(m_midLock);
        m_subscribing.erase(mid);
    }
    m_subscribeCond.notify_all();
}

void HuxSatellite::waitSubscriptions() {
    // Bounded: a lost acknowledgement must not hang the caller; the subscription still applies.
    std::unique_lock<std::mutex> lock(m_midLock);
    m_subscribeCond.wait_for(lock, std::chrono::milliseconds(kSubscribeWaitMs),
                             [this] { return m_subscribing.empty(); });
}

void HuxSatellite::subscribeService(const std::string& service, const std::string& group, bool on) {
    const std::string& g = group.empty() ? std::string(kDefaultGroup) : group;
    subscribe(kAllPrefix + service, on);
    subscribe("$share/" + g + "/" + kAnyPrefix + service, on);
    subscribe(kToPrefix + m_name + "/" + service, on);
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_services.find(service);
    if (it != m_services.end()) it->second.subscribed = on;
}

std::vector<std::string> HuxSatellite::serviceNames() {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::string> names;
    for (const auto& s : m_services) names.push_back(s.first);
    return names;
}

void HuxSatellite::publishPresence(bool wait) {
    if (!m_mosq || !m_connected) return;
    int mid = 0;
    if (publish(m_presenceTopic, HuxWireFormat::encodePresence(m_name, serviceNames()), true, nullptr,
                &mid) != MOSQ_ERR_SUCCESS ||
        !wait || t_onNetworkThread)
        return;
    // Once the broker holds the record, every client that joins later knows about the change.
    std::unique_lock<std::mutex> lock(m_midLock);
    m_subscribeCond.wait_for(lock, std::chrono::milliseconds(kSubscribeWaitMs),
                             [&] { return m_unacked.count(mid) == 0; });
}

HRESULT HuxSatellite::Request(const std::wstring& target, const std::wstring& service, const VARIANT& args,
                              VARIANT* reply, HUXFLAGS flags, VARIANT* status) {
    std::string svc = HuxWireFormat::toUtf8(service), to = HuxWireFormat::toUtf8(target);
    if (!isTopicLevel(svc) || !isTopicLevel(to)) {
        error(L"HuxSatellite::Request: bad target \"%s\" or service \"%s\"", target.c_str(), service.c_str());
        return E_INVALIDARG;
    }
    if (!m_mosq || !m_connected) {
        // Callers log their own failures; a plug-in without a broker would repeat this per request.
        if (isDebugEnabled())
            debug(L"HuxSatellite::Request %s to %s: not connected to the bus", service.c_str(),
                  target.c_str());
        return HUX_E_NOT_CONNECTED;
    }
    std::string topic = to == "all"   ? kAllPrefix + svc
                        : to == "any" ? kAnyPrefix + svc
                                      : kToPrefix + to + "/" + svc;
    std::string payload, why;
    if (!HuxWireFormat::encodeRequest(m_name, to, service, args, payload, why)) {
        error(L"HuxSatellite::Request %s: the arguments cannot be sent: %S", service.c_str(), why.c_str());
        return HUX_E_BAD_MESSAGE;
    }
    if (!(flags & HUX_NO_REPLY) && t_onNetworkThread) {
        error(L"HuxSatellite::Request %s: cannot wait for a reply on the bus's network thread",
              service.c_str());
        return E_UNEXPECTED;
    }
    HRESULT reach = reachable(to, svc, !(flags & HUX_NO_REPLY));
    if (FAILED(reach)) {
        if (isDebugEnabled())
            debug(L"HuxSatellite::Request %s to %s: %S", service.c_str(), target.c_str(),
                  reach == HUX_E_NO_SATELLITE ? "no such client on the bus" : "nobody on the bus offers it");
        return reach;
    }
    if (flags & HUX_NO_REPLY) {
        int rc = publish(topic, payload, false, nullptr);
        return rc == MOSQ_ERR_SUCCESS ? S_OK : HUX_E_NOT_CONNECTED;
    }

    auto pending = std::make_shared<Pending>();
    std::string correlation;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        correlation = std::to_string(m_nextCorrelation++);
        m_pending[correlation] = pending;
    }
    mosquitto_property* props = nullptr;
    mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, m_replyTopic.c_str());
    mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                  static_cast<uint16_t>(correlation.size()));
    int mid = 0, rc;
    {
        // Held across the publish so that a quick "no subscribers" finds the request.
        std::lock_guard<std::mutex> lock(m_midLock);
        rc = mosquitto_publish_v5(m_mosq, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                  payload.data(), 1, false, props);
        if (rc == MOSQ_ERR_SUCCESS) {
            m_midToCorrelation[mid] = correlation;
            m_unacked.insert(mid);
        }
    }
    mosquitto_property_free_all(&props);

    HRESULT result;
    HuxReplyMessage answer;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (rc == MOSQ_ERR_SUCCESS)
            pending->cond.wait_for(lock, std::chrono::milliseconds(m_requestTimeoutMs.load()),
                                   [&] { return pending->done; });
        m_pending.erase(correlation);
        if (rc != MOSQ_ERR_SUCCESS)
            result = HUX_E_NOT_CONNECTED;
        else if (!pending->done)
            result = HUX_E_TIMEOUT;
        else
            result = pending->result;
        answer.status = pending->reply.status;
        answer.reply = std::move(pending->reply.reply);
        answer.error = pending->reply.error;
        answer.from = pending->reply.from;
    }
    {
        std::lock_guard<std::mutex> lock(m_midLock);
        m_midToCorrelation.erase(mid);
    }
    if (FAILED(result)) {
        warn(L"HuxSatellite::Request %s to %s failed 0x%X", service.c_str(), target.c_str(),
             static_cast<unsigned>(result));
        return result;
    }
    if (!answer.error.empty())
        warn(L"HuxSatellite::Request %s: %S answered 0x%X: %S", service.c_str(), answer.from.c_str(),
             static_cast<unsigned>(answer.status), answer.error.c_str());
    if (reply) {
        VariantClear(reply);
        answer.reply.Detach(reply);
    }
    if (status) {
        VariantClear(status);
        status->vt = VT_I4;
        status->lVal = answer.status;
    }
    // The bus itself could not serve the request at the other end.
    if (answer.status == HUX_E_BAD_MESSAGE || answer.status == HUX_E_NO_SERVER) return answer.status;
    return S_OK;
}

void HuxSatellite::onPublish(int mid, int reasonCode) {
    std::string correlation;
    {
        std::lock_guard<std::mutex> lock(m_midLock);
        if (m_unacked.erase(mid) && m_unacked.empty()) m_subscribeCond.notify_all();
        auto it = m_midToCorrelation.find(mid);
        if (it == m_midToCorrelation.end()) return;
        correlation = it->second;
        m_midToCorrelation.erase(it);
    }
    if (reasonCode < MQTT_RC_NO_MATCHING_SUBSCRIBERS) return;
    HRESULT result = reasonCode == MQTT_RC_NO_MATCHING_SUBSCRIBERS ? HUX_E_NO_SERVER : E_FAIL;
    if (result == E_FAIL)
        warn(L"HuxSatellite %S: the broker refused a request (%S)", m_name.c_str(),
             mosquitto_reason_string(reasonCode));
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_pending.find(correlation);
    if (it == m_pending.end() || it->second->done) return;
    it->second->done = true;
    it->second->result = result;
    it->second->cond.notify_all();
}

void HuxSatellite::failPending(HRESULT status) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& p : m_pending) {
        if (p.second->done) continue;
        p.second->done = true;
        p.second->result = status;
        p.second->cond.notify_all();
    }
}

void HuxSatellite::onMessage(const mosquitto_message* msg, const mosquitto_property* props) {
    if (!msg || !msg->topic) return;
    std::string topic = msg->topic;
    if (topic == m_replyTopic) {
        handleReply(msg, props);
    } else if (startsWith(topic, kClientsPrefix)) {
        handlePresence(topic.substr(std::strlen(kClientsPrefix)), msg);
    } else if (startsWith(topic, kAllPrefix)) {
        handleRequest(topic.substr(std::strlen(kAllPrefix)), msg, props);
    } else if (startsWith(topic, kAnyPrefix)) {
        handleRequest(topic.substr(std::strlen(kAnyPrefix)), msg, props);
    } else {
        std::string mine = kToPrefix + m_name + "/";
        if (startsWith(topic, mine.c_str())) handleRequest(topic.substr(mine.size()), msg, props);
    }
}

void HuxSatellite::handleRequest(const std::string& service, const mosquitto_message* msg,
                                 const mosquitto_property* props) {
    if (msg->retain) {
        // A retained request would run again in every server that (re)subscribes.
        warn(L"HuxSatellite %S: ignored a retained request on %S", m_name.c_str(), msg->topic);
        return;
    }
    Job job;
    char* responseTopic = nullptr;
    void* correlation = nullptr;
    uint16_t correlationLen = 0;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &responseTopic, false)) {
        job.responseTopic = responseTopic;
        job.wantsReply = true;
        std::free(responseTopic);
        if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &correlation, &correlationLen,
                                           false)) {
            job.correlation.assign(static_cast<const char*>(correlation), correlationLen);
            std::free(correlation);
        }
        if (!isReplyTopic(job.responseTopic)) {
            // A reply published on a request topic would itself run as a request.
            warn(
                L"HuxSatellite %S: dropped a malformed request on %S: its reply topic \"%S\" is not below %S",
                m_name.c_str(), msg->topic, job.responseTopic.c_str(), kReplyPrefix);
            return;
        }
    }

    HuxRequestMessage request;
    std::string why;
    const char* data = static_cast<const char*>(msg->payload);
    size_t len = msg->payloadlen > 0 ? static_cast<size_t>(msg->payloadlen) : 0;
    bool ok = HuxWireFormat::decodeRequest(data, len, request, why);
    if (ok && HuxWireFormat::toUtf8(request.service) != service) {
        ok = false;
        why = "the service named in the message differs from its topic";
    }
    if (!ok) {
        warn(L"HuxSatellite %S: dropped a malformed request on %S: %S", m_name.c_str(), msg->topic,
             why.c_str());
        if (job.wantsReply) sendReply(job, HUX_E_BAD_MESSAGE, CComVariant(), why);
        return;
    }
    bool known;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        known = m_services.count(service) != 0;
    }
    if (!known) {
        // Removed while the message was on its way.
        if (job.wantsReply) sendReply(job, HUX_E_NO_SERVER, CComVariant(), "no such service here");
        return;
    }
    job.service = request.service;
    job.args = std::move(request.args);
    {
        std::lock_guard<std::mutex> lock(m_jobLock);
        if (m_stopJobs) return;
        if (m_jobs.size() >= kMaxQueuedJobs) {
            warn(L"HuxSatellite %S: %d requests waiting, dropped one for %S", m_name.c_str(),
                 static_cast<int>(m_jobs.size()), service.c_str());
            return;
        }
        m_jobs.push_back(std::move(job));
    }
    m_jobCond.notify_one();
}

void HuxSatellite::handleReply(const mosquitto_message* msg, const mosquitto_property* props) {
    void* data = nullptr;
    uint16_t len = 0;
    if (!mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &len, false)) {
        warn(L"HuxSatellite %S: dropped a reply without correlation data", m_name.c_str());
        return;
    }
    std::string correlation(static_cast<const char*>(data), len);
    std::free(data);

    HuxReplyMessage reply;
    std::string why;
    size_t size = msg->payloadlen > 0 ? static_cast<size_t>(msg->payloadlen) : 0;
    bool ok = HuxWireFormat::decodeReply(static_cast<const char*>(msg->payload), size, reply, why);
    if (!ok) warn(L"HuxSatellite %S: dropped a malformed reply: %S", m_name.c_str(), why.c_str());

    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_pending.find(correlation);
    // Late replies (after a timeout) and the second and later replies to "all" end here.
    if (it == m_pending.end() || it->second->done) return;
    Pending& p = *it->second;
    p.done = true;
    p.result = ok ? S_OK : HUX_E_BAD_MESSAGE;
    if (ok) {
        p.reply.from = std::move(reply.from);
        p.reply.status = reply.status;
        p.reply.reply = std::move(reply.reply);
        p.reply.error = std::move(reply.error);
    }
    p.cond.notify_all();
}

std::set<std::string> HuxSatellite::availableLocked() const {
    std::set<std::string> available;
    for (const auto& client : m_presence)
        for (const auto& conn : client.second)
            for (const auto& s : conn.second)
                if (m_listened.count(s)) available.insert(s);
    return available;
}

HRESULT HuxSatellite::reachable(const std::string& target, const std::string& service, bool wantsReply) {
    std::lock_guard<std::mutex> lock(m_lock);
    // Until the records are complete (just after a reconnection) the broker's answer decides.
    if (!m_presenceReady) return S_OK;
    auto serves = [&](const std::map<std::string, std::set<std::string>>& conns) {
        for (const auto& c : conns)
            if (c.second.count(service)) return true;
        return false;
    };
    if (target == "all" || target == "any") {
        // A broadcast nobody hears is not a failure; a request someone must answer is.
        if (target == "all" && !wantsReply) return S_OK;
        for (const auto& client : m_presence)
            if (serves(client.second)) return S_OK;
        return HUX_E_NO_SERVER;
    }
    auto it = m_presence.find(target);
    if (it == m_presence.end()) return HUX_E_NO_SATELLITE;
    return serves(it->second) ? S_OK : HUX_E_NO_SERVER;
}

void HuxSatellite::notifyAvailability(const std::set<std::string>& before) {
    std::set<std::string> after;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        after = availableLocked();
    }
    if (m_closing) return;
    std::wstring name;
    for (const auto& s : before)
        if (!after.count(s) && HuxWireFormat::fromUtf8(s, name)) OnServiceAvailabilityChanged(name, false);
    for (const auto& s : after)
        if (!before.count(s) && HuxWireFormat::fromUtf8(s, name)) OnServiceAvailabilityChanged(name, true);
}

void HuxSatellite::handlePresence(const std::string& topicRest, const mosquitto_message* msg) {
    auto slash = topicRest.find('/');
    if (slash == std::string::npos) return;
    std::string client = topicRest.substr(0, slash), conn = topicRest.substr(slash + 1);
    std::vector<std::string> services;
    std::string why;
    size_t len = msg->payloadlen > 0 ? static_cast<size_t>(msg->payloadlen) : 0;
    if (!HuxWireFormat::decodePresence(static_cast<const char*>(msg->payload), len, services, why)) {
        warn(L"HuxSatellite %S: dropped a malformed presence of %S: %S", m_name.c_str(), client.c_str(),
             why.c_str());
        return;
    }
    std::set<std::string> before;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        before = availableLocked();
        if (len == 0) {
            auto it = m_presence.find(client);
            if (it != m_presence.end()) {
                it->second.erase(conn);
                if (it->second.empty()) m_presence.erase(it);
            }
        } else {
            m_presence[client][conn] = std::set<std::string>(services.begin(), services.end());
            if (client == m_name && conn == m_connId && !m_presenceReady) {
                m_presenceReady = true;
                m_connectCond.notify_all();
            }
        }
    }
    notifyAvailability(before);
}

void HuxSatellite::dispatchLoop() {
    // Named beside the MQTT library's "mosquitto loop", so a process's threads tell who owns them.
    pthread_setname_np(pthread_self(), "hux dispatch");
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(m_jobLock);
            m_jobCond.wait(lock, [this] { return m_stopJobs || !m_jobs.empty(); });
            if (m_stopJobs) return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        runJob(job);
    }
}

void HuxSatellite::runJob(Job& job) {
    CComVariant reply;
    HRESULT hr;
    std::string failure;
    try {
        hr = OnServiceRequested(job.service, job.args, &reply);
    } catch (const HuxException& e) {
        error(L"HuxSatellite %S: service %s rejected its arguments: %s", m_name.c_str(), job.service.c_str(),
              e.GetMessage().c_str());
        hr = E_INVALIDARG;
        failure = HuxWireFormat::toUtf8(e.GetMessage());
        reply.Clear();
    } catch (const std::exception& e) {
        error(L"HuxSatellite %S: service %s failed: %S", m_name.c_str(), job.service.c_str(), e.what());
        hr = E_FAIL;
        failure = e.what();
        reply.Clear();
    }
    if (job.wantsReply) sendReply(job, hr, reply, failure);
}

void HuxSatellite::sendReply(const Job& job, HRESULT status, const VARIANT& reply,
                             const std::string& failure) {
    std::string payload, why;
    if (!HuxWireFormat::encodeReply(m_name, status, reply, failure, payload, why)) {
        error(L"HuxSatellite %S: the reply cannot be sent: %S", m_name.c_str(), why.c_str());
        HuxWireFormat::encodeReply(m_name, HUX_E_BAD_MESSAGE, CComVariant(), why, payload, why);
    }
    mosquitto_property* props = nullptr;
    if (!job.correlation.empty())
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, job.correlation.data(),
                                      static_cast<uint16_t>(job.correlation.size()));
    int rc = publish(job.responseTopic, payload, false, props);
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS)
        warn(L"HuxSatellite %S: could not reply on %S (%S)", m_name.c_str(), job.responseTopic.c_str(),
             mosquitto_strerror(rc));
}

HRESULT HuxSatellite::DirectoryPingSatellite(const std::wstring& name) {
    std::string client = HuxWireFormat::toUtf8(name);
    std::lock_guard<std::mutex> lock(m_lock);
    return m_presence.count(client) ? S_OK : HUX_E_NO_SATELLITE;
}

HRESULT HuxSatellite::GetSatelliteId(std::wstring& id) {
    if (!HuxWireFormat::fromUtf8(m_name, id)) id.clear();
    return m_name.empty() ? HUX_E_NOT_CONNECTED : S_OK;
}

HRESULT HuxSatellite::AddServiceAvailabilityListener(const std::wstring& service) {
    std::set<std::string> before;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        before = availableLocked();
        m_listened.insert(HuxWireFormat::toUtf8(service));
    }
    notifyAvailability(before);
    return S_OK;
}

HRESULT HuxSatellite::RemoveServiceAvailabilityListener(const std::wstring& service) {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_listened.erase(HuxWireFormat::toUtf8(service)) ? S_OK : S_FALSE;
}

HRESULT HuxSatellite::DeclareServices() {
    return S_OK;
}

HRESULT HuxSatellite::RegisterServices() {
    std::vector<std::pair<std::string, std::string>> services;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& s : m_services) services.emplace_back(s.first, s.second.group);
    }
    if (!m_connected) return HUX_E_NOT_CONNECTED;
    for (const auto& s : services) subscribeService(s.first, s.second, true);
    waitSubscriptions();
    publishPresence(true);
    return S_OK;
}

HRESULT HuxSatellite::UnregisterServices() {
    std::vector<std::pair<std::string, std::string>> services;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& s : m_services)
            if (s.second.subscribed) services.emplace_back(s.first, s.second.group);
    }
    if (!m_connected) return HUX_E_NOT_CONNECTED;
    for (const auto& s : services) subscribeService(s.first, s.second, false);
    waitSubscriptions();
    // Nobody is served here any more, whatever stays added.
    publish(m_presenceTopic, HuxWireFormat::encodePresence(m_name, {}), true, nullptr);
    return S_OK;
}

HRESULT HuxSatellite::AddService(const std::wstring& service, const std::wstring& group,
                                 HuxServiceFunction fn, void* context) {
    if (!fn) return E_POINTER;
    return AddService(service, group, new HuxSatelliteDelegateFunction(fn, context));
}

HRESULT HuxSatellite::AddService(const std::wstring& service, const std::wstring& group,
                                 HuxSatelliteDelegateGeneric* delegate) {
    std::unique_ptr<HuxSatelliteDelegateGeneric> owned(delegate);
    std::string name = HuxWireFormat::toUtf8(service), g = HuxWireFormat::toUtf8(group);
    if (!owned) return E_POINTER;
    if (!isTopicLevel(name) || (!g.empty() && !isTopicLevel(g))) {
        error(L"HuxSatellite::AddService: \"%s\" (group \"%s\") cannot be a service name", service.c_str(),
              group.c_str());
        return E_INVALIDARG;
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Service& s = m_services[name];
        s.delegate = std::move(owned);
        s.group = g;
    }
    if (m_connected) {
        subscribeService(name, g, true);
        waitSubscriptions();
        publishPresence(true);
    }
    return S_OK;
}

HRESULT HuxSatellite::RemoveService(const std::wstring& service) {
    std::string name = HuxWireFormat::toUtf8(service), group;
    bool subscribed;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_services.find(name);
        if (it == m_services.end()) return S_FALSE;
        group = it->second.group;
        subscribed = it->second.subscribed;
    }
    if (subscribed && m_connected) {
        subscribeService(name, group, false);
        waitSubscriptions();
    }
    {
        // The dispatch thread may be running this delegate; it holds no reference into the map
        // while it does (OnServiceRequested looks the delegate up under the lock and keeps a
        // shared reference), so erasing here is safe.
        std::lock_guard<std::mutex> lock(m_lock);
        m_services.erase(name);
    }
    publishPresence(true);
    return S_OK;
}

HRESULT HuxSatellite::OnServiceRequested(const std::wstring& service, VARIANT& args, VARIANT* reply) {
    std::shared_ptr<HuxSatelliteDelegateGeneric> delegate;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_services.find(HuxWireFormat::toUtf8(service));
        if (it == m_services.end()) return HUX_E_NO_SERVER;
        delegate = it->second.delegate;
    }
    return delegate->Invoke(service, args, reply);
}

void HuxSatellite::OnServiceAvailabilityChanged(const std::wstring& service, bool available) {
    debug(L"HuxSatellite %S: service %s is %S", m_name.c_str(), service.c_str(),
          available ? "available" : "no longer available");
}

void HuxSatellite::OnStatusChange(HRESULT status) {
    debug(L"HuxSatellite %S: status 0x%X", m_name.c_str(), static_cast<unsigned>(status));
}
