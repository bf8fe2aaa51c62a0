// HuxSatellite: a named client of the message bus that offers services and sends requests.
//
// The bus is MQTT 5 through a broker on 127.0.0.1 (port from $PELMO_BUS_PORT, default 1883).
// Topics (service and client names are single topic levels, UTF-8):
//   hux/all/SERVICE           requests to every server of SERVICE
//   hux/any/SERVICE           requests to exactly one server (shared subscription $share/hux/...)
//   hux/to/CLIENT/SERVICE     requests to one client by name
//   hux/reply/CLIENT/CONN     replies, matched to their request by correlation data
//   hux/clients/CLIENT/CONN   retained presence: the client's services; emptied when it leaves
// Payloads are JSON (HuxWireFormat.h). CONN is a random id per connection (also the MQTT client
// id's suffix), so that two processes of one client name are both on the bus: both serve, both
// receive requests sent to the name, and each gets its own replies.
//
// Delivery: a request that Request accepted is on its way with QoS 1; Disconnect (and so the
// destructor) waits, bounded, for the broker to acknowledge every message accepted before it.
// Requests are never retained, and a retained request is ignored by servers. A request for a
// service that no client on the bus declares, or to a client that is not there, fails at once
// from the presence records.
//
// Service handlers run one at a time, in arrival order, on the client's own dispatch thread; a
// handler may itself send requests. The other hooks (OnStatusChange, OnServiceAvailabilityChanged)
// run on the network thread: a request sent from there cannot wait for its reply, which that
// same thread would deliver, and answers E_UNEXPECTED. A derived class whose handlers use its own members
// must call Disconnect() in its destructor, before those members go away.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/Variant.h"
#include "platform/hux/HuxSatelliteDelegate.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

// Request flags.
enum HUXFLAGS : int32_t {
    HUX_WAIT_REPLY = 0,  // wait (bounded) for the server's reply
    HUX_NO_REPLY = 1,    // send and return at once
};

// Failures of the bus itself (a handler's own status travels in the reply).
constexpr HRESULT HUX_E_NOT_CONNECTED = MakeHResult(0x80040A01u);  // no broker, or it went away
constexpr HRESULT HUX_E_TIMEOUT = MakeHResult(0x80040A02u);        // no reply in time
constexpr HRESULT HUX_E_NO_SERVER = MakeHResult(0x80040A03u);      // nobody offers the service
constexpr HRESULT HUX_E_BAD_MESSAGE = MakeHResult(0x80040A04u);    // a value the wire cannot carry
constexpr HRESULT HUX_E_NO_SATELLITE = MakeHResult(0x80040A05u);   // no such client on the bus

class HuxSatellite {
public:
    HuxSatellite();
    virtual ~HuxSatellite();

    HuxSatellite(const HuxSatellite&) = delete;
    HuxSatellite& operator=(const HuxSatellite&) = delete;

    // Connects under the given client name and, on the first successful connection, collects
    // the services through DeclareServices and subscribes them. A negative status means not
    // registered: HUX_E_NOT_CONNECTED when no broker answered within the connect timeout.
    virtual HRESULT Connect(const std::wstring& host, const std::wstring& name);
    virtual HRESULT ConnectUser(const std::wstring& host, const std::wstring& name, const std::wstring& user,
                                const std::wstring& password);
    // Leaves the bus: the presence is withdrawn, everything already accepted is sent and
    // acknowledged (waiting at most kFlushWaitMs, logged when that runs out), waiting requests
    // fail, the dispatch thread ends. HUX_E_TIMEOUT when some of it was not acknowledged.
    virtual HRESULT Disconnect();

    // Sends a request for service to target ("all", "any" or a client name). With HUX_WAIT_REPLY
    // the call waits up to the request timeout for one reply: reply receives the handler's reply
    // and status (when not null) a VT_I4 with the handler's status. With "all" the first reply
    // counts. Answers S_OK once accepted for delivery (and answered), otherwise one of the HUX_E_
    // codes: HUX_E_NO_SERVER at once when no client on the bus declares the service ("any", or
    // "all" when waiting), HUX_E_NO_SATELLITE when the named client is not on the bus.
    virtual HRESULT Request(const std::wstring& target, const std::wstring& service, const VARIANT& args,
                            VARIANT* reply, HUXFLAGS flags, VARIANT* status);
    // S_OK when the named client is on the bus now, HUX_E_NO_SATELLITE otherwise.
    virtual HRESULT DirectoryPingSatellite(const std::wstring& name);
    virtual HRESULT GetSatelliteId(std::wstring& id);
    // Asks for OnServiceAvailabilityChanged calls when the service gains its first server or
    // loses its last one.
    virtual HRESULT AddServiceAvailabilityListener(const std::wstring& service);
    virtual HRESULT RemoveServiceAvailabilityListener(const std::wstring& service);
    // Called by the client once connected; a server adds its services here.
    virtual HRESULT DeclareServices();
    // Subscribe or unsubscribe every added service (they stay added).
    virtual HRESULT RegisterServices();
    virtual HRESULT UnregisterServices();
    // group names the set of servers among which an "any" request picks one; empty means all
    // servers of the service. The delegate belongs to the client from here on.
    virtual HRESULT AddService(const std::wstring& service, const std::wstring& group, HuxServiceFunction fn,
                               void* context);
    virtual HRESULT AddService(const std::wstring& service, const std::wstring& group,
                               HuxSatelliteDelegateGeneric* delegate);
    virtual HRESULT RemoveService(const std::wstring& service);
    // Runs the delegate of the service; on the dispatch thread.
    virtual HRESULT OnServiceRequested(const std::wstring& service, VARIANT& args, VARIANT* reply);
    virtual void OnServiceAvailabilityChanged(const std::wstring& service, bool available);
    // S_OK when (re)connected, HUX_E_NOT_CONNECTED when the connection was lost.
    virtual void OnStatusChange(HRESULT status);

    // Not part of the client's virtual interface.
    bool IsConnected() const { return m_connected.load(); }
    void SetRequestTimeout(int milliseconds) { m_requestTimeoutMs = milliseconds; }
    void SetConnectTimeout(int milliseconds) { m_connectTimeoutMs = milliseconds; }
    // The broker port: $PELMO_BUS_PORT when it holds a port number, else 1883.
    static int BusPort();
    // How long Disconnect waits for the broker to acknowledge what was sent.
    static constexpr int kFlushWaitMs = 2000;

    // Raw MQTT callbacks; public only so that the C library can reach them.
    void onConnect(int rc);
    void onDisconnect(int rc);
    void onPublish(int mid, int reasonCode);
    void onSubscribed(int mid);
    void onMessage(const mosquitto_message* msg, const mqtt5__property* props);

private:
    struct Service {
        // Shared so that a handler running on the dispatch thread survives RemoveService.
        std::shared_ptr<HuxSatelliteDelegateGeneric> delegate;
        std::string group;
        bool subscribed = false;
    };
    struct Pending;
    struct Job {
        std::wstring service;
        CComVariant args;
        std::string responseTopic;
        std::string correlation;
        bool wantsReply = false;
    };

    HRESULT connect(const std::wstring& host, const std::wstring& name, const std::string* user,
                    const std::string* password);
    void subscribe(const std::string& topic, bool on);
    void waitSubscriptions();
    void subscribeService(const std::string& service, const std::string& group, bool on);
    // With wait, returns once the broker acknowledged the record (bounded).
    void publishPresence(bool wait = false);
    // A QoS 1 publish whose acknowledgement Disconnect waits for; mid receives its message id.
    int publish(const std::string& topic, const std::string& payload, bool retain,
                const mqtt5__property* props, int* mid = nullptr);
    bool flush();
    void waitPresence();
    // Whether a request can reach anyone, from the presence records: S_OK when it may.
    HRESULT reachable(const std::string& target, const std::string& service, bool wantsReply);
    void handleRequest(const std::string& service, const mosquitto_message* msg,
                       const mqtt5__property* props);
    void handleReply(const mosquitto_message* msg, const mqtt5__property* props);
    void handlePresence(const std::string& topicRest, const mosquitto_message* msg);
    void failPending(HRESULT status);
    void dispatchLoop();
    void runJob(Job& job);
    void sendReply(const Job& job, HRESULT status, const VARIANT& reply, const std::string& failure);
    std::set<std::string> availableLocked() const;
    void notifyAvailability(const std::set<std::string>& before);
    std::vector<std::string> serviceNames();

    mosquitto* m_mosq = nullptr;
    std::string m_name;    // client name as UTF-8
    std::string m_connId;  // this connection's id, unique on the bus
    std::string m_replyTopic;
    std::string m_presenceTopic;
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_everConnected{false};
    std::atomic<int> m_requestTimeoutMs{5000};
    std::atomic<int> m_connectTimeoutMs{3000};
    bool m_declared = false;
    // Set while leaving: callbacks then no longer reach the overridable hooks.
    std::atomic<bool> m_closing{false};

    // Services, presence, listeners and waiting requests.
    std::mutex m_lock;
    std::condition_variable m_connectCond;
    int m_connectResult = -1;  // CONNACK reason of the last attempt, -1 while none
    std::map<std::string, Service> m_services;
    // client -> connection id -> services
    std::map<std::string, std::map<std::string, std::set<std::string>>> m_presence;
    // Set once this connection has seen its own presence come back: every retained record that
    // was on the broker before it has arrived by then.
    bool m_presenceReady = false;
    std::set<std::string> m_listened;
    std::map<std::string, std::shared_ptr<Pending>> m_pending;  // correlation -> request
    uint64_t m_nextCorrelation = 1;

    // Message ids of waiting "any" requests, so that a "no matching subscribers" acknowledgement
    // fails the request at once. Held across the publish call: the acknowledgement can arrive
    // before mosquitto_publish returns the id.
    std::mutex m_midLock;
    std::map<int, std::string> m_midToCorrelation;
    std::set<int> m_subscribing;  // subscriptions not acknowledged yet
    std::set<int> m_unacked;      // published messages the broker has not acknowledged yet
    std::condition_variable m_subscribeCond;

    // Dispatch thread and its queue.
    std::mutex m_jobLock;
    std::condition_variable m_jobCond;
    std::deque<Job> m_jobs;
    bool m_stopJobs = false;
    std::thread m_dispatcher;
};
