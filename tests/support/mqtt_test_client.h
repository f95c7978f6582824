#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace testsupport {

/// A plain MQTT client for tests, on libmosquitto's own network thread: connects to the test
/// broker, subscribes, publishes (waiting until the QoS handshake is complete) and collects every
/// received message so that a test can wait for the one it expects.
class MqttTestClient {
public:
    struct Message {
        std::string topic;
        std::string payload;
        int qos = 0;
        bool retain = false;
    };

    explicit MqttTestClient(int port, const std::string& clientId = "", bool cleanSession = true);
    ~MqttTestClient();
    MqttTestClient(const MqttTestClient&) = delete;
    MqttTestClient& operator=(const MqttTestClient&) = delete;

    /// Logs in with this user name and password on every connect; without a call the login that
    /// registerLogin gave for the port, if any.
    void login(const std::string& username, const std::string& password);
    /// Connects over TLS, trusting the CA file, with this client certificate and key.
    void tls(const std::string& caFile, const std::string& certFile, const std::string& keyFile);
    /// Connects and waits for the broker's CONNACK. Throws on failure (also on a refusal, whose
    /// CONNACK code connackCode() then gives).
    void connect(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    int connackCode() const;
    void disconnect();
    /// Subscribes and waits for the SUBACK.
    void subscribe(const std::string& filter, int qos = 2, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Publishes and waits until the message has left (QoS 0) or its handshake is complete.
    void publish(const std::string& topic, const std::string& payload, int qos = 2, bool retain = false,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5));

    /// Removes and returns the first received message on exactly this topic, waiting up to timeout.
    std::optional<Message> waitFor(const std::string& topic,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Removes and returns the first received message on any topic.
    std::optional<Message> next(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Publishes a marker on a topic of this client's own and waits until it comes back. The broker
    /// sends to one client in order, so afterwards everything it had routed to this client
    /// before it read the marker has been received: the end of "nothing (more) arrived" checks.
    /// Markers never show up among the received messages. Throws when the marker does not come.
    void sync(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    /// Everything received and not yet taken, in arrival order.
    std::vector<Message> received() const;
    void clear();

private:
    static void onConnect(mosquitto*, void*, int rc);
    static void onSubscribe(mosquitto*, void*, int mid, int, const int*);
    static void onPublish(mosquitto*, void*, int mid);
    static void onMessage(mosquitto*, void*, const mosquitto_message*);

    int _port;
    std::optional<std::pair<std::string, std::string>> _login;
    const std::string _markerTopic; // where sync() publishes; nobody else uses it
    bool _markerSubscribed = false; // only touched by the test's thread
    unsigned long _markersSent = 0; // only touched by the test's thread
    mosquitto* _mosq = nullptr;
    mutable std::mutex _mutex;
    std::condition_variable _cv;
    // Guarded by _mutex.
    int _connackRc = -1;
    std::set<int> _acked;
    std::deque<Message> _messages;
    unsigned long _markersSeen = 0;
};

/// The login that test clients of the broker on this port use unless told otherwise: for brokers
/// that refuse anonymous clients, so that the port-based helpers (retained(), ...) reach them.
void registerLogin(int port, const std::string& username, const std::string& password);
void unregisterLogin(int port);

} // namespace testsupport
