#include "mqtt_test_client.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mosquitto.h>
#include <stdexcept>
#include <unistd.h>

namespace testsupport {

namespace {
struct LibInit {
    LibInit() { mosquitto_lib_init(); }
};

std::string uniqueMarkerTopic()
{
    static std::atomic<unsigned> clients{0};
    return "testsupport/sync/" + std::to_string(::getpid()) + "-" + std::to_string(++clients);
}
} // namespace

MqttTestClient::MqttTestClient(int port, const std::string& clientId, bool cleanSession)
    : _port(port), _markerTopic(uniqueMarkerTopic())
{
    static LibInit init;
    _mosq = mosquitto_new(clientId.empty() ? nullptr : clientId.c_str(), cleanSession, this);
    if (!_mosq)
        throw std::runtime_error("mosquitto_new failed");
    mosquitto_int_option(_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(_mosq, &MqttTestClient::onConnect);
    mosquitto_subscribe_callback_set(_mosq, &MqttTestClient::onSubscribe);
    mosquitto_publish_callback_set(_mosq, &MqttTestClient::onPublish);
    mosquitto_message_callback_set(_mosq, &MqttTestClient::onMessage);
    if (mosquitto_loop_start(_mosq) != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("mosquitto_loop_start failed");
}

MqttTestClient::~MqttTestClient()
{
    // The disconnect ends the library's loop thread by itself (also when it never connected);
    // cancelling it instead could leave one of the client's mutexes locked as it is destroyed.
    mosquitto_disconnect(_mosq);
    mosquitto_loop_stop(_mosq, false);
    mosquitto_destroy(_mosq);
}

namespace {

std::mutex loginsMutex;
std::map<int, std::pair<std::string, std::string>> logins; // guarded by loginsMutex

} // namespace

void registerLogin(int port, const std::string& username, const std::string& password)
{
    std::lock_guard<std::mutex> lock(loginsMutex);
    logins[port] = {username, password};
}

void unregisterLogin(int port)
{
    std::lock_guard<std::mutex> lock(loginsMutex);
    logins.erase(port);
}

void MqttTestClient::login(const std::string& username, const std::string& password)
{
    _login.emplace(username, password);
}

void MqttTestClient::tls(const std::string& caFile, const std::string& certFile, const std::string& keyFile)
{
    if (mosquitto_tls_set(_mosq, caFile.c_str(), nullptr, certFile.c_str(), keyFile.c_str(), nullptr) !=
        MOSQ_ERR_SUCCESS)
        throw std::runtime_error("test client: cannot set up TLS");
}

int MqttTestClient::connackCode() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _connackRc;
}

void MqttTestClient::connect(std::chrono::milliseconds timeout)
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _connackRc = -1;
    }
    std::optional<std::pair<std::string, std::string>> login = _login;
    if (!login) {
        std::lock_guard<std::mutex> lock(loginsMutex);
        const auto found = logins.find(_port);
        if (found != logins.end())
            login = found->second;
    }
    if (login && mosquitto_username_pw_set(_mosq, login->first.c_str(), login->second.c_str()) != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("test client: cannot set the login");
    int rc = mosquitto_connect(_mosq, "127.0.0.1", _port, 60);
    if (rc != MOSQ_ERR_SUCCESS)
        throw std::runtime_error(std::string("test client connect: ") + mosquitto_strerror(rc));
    std::unique_lock<std::mutex> lock(_mutex);
    if (!_cv.wait_for(lock, timeout, [&] { return _connackRc >= 0; }))
        throw std::runtime_error("test client: no CONNACK");
    if (_connackRc != 0)
        throw std::runtime_error("test client: connection refused (" + std::to_string(_connackRc) + ")");
}

void MqttTestClient::disconnect() { mosquitto_disconnect(_mosq); }

void MqttTestClient::subscribe(const std::string& filter, int qos, std::chrono::milliseconds timeout)
{
    int mid = 0;
    std::unique_lock<std::mutex> lock(_mutex);
    int rc = mosquitto_subscribe(_mosq, &mid, filter.c_str(), qos);
    if (rc != MOSQ_ERR_SUCCESS)
        throw std::runtime_error(std::string("test client subscribe: ") + mosquitto_strerror(rc));
    if (!_cv.wait_for(lock, timeout, [&] { return _acked.erase(mid) > 0; }))
        throw std::runtime_error("test client: no SUBACK for " + filter);
}

void MqttTestClient::publish(const std::string& topic, const std::string& payload, int qos, bool retain,
                             std::chrono::milliseconds timeout)
{
    int mid = 0;
    std::unique_lock<std::mutex> lock(_mutex);
    int rc =
        mosquitto_publish(_mosq, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS)
        throw std::runtime_error(std::string("test client publish: ") + mosquitto_strerror(rc));
    if (!_cv.wait_for(lock, timeout, [&] { return _acked.erase(mid) > 0; }))
        throw std::runtime_error("test client: publish on " + topic + " not completed");
}

std::optional<MqttTestClient::Message> MqttTestClient::waitFor(const std::string& topic,
                                                               std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(_mutex);
    std::optional<Message> found;
    _cv.wait_for(lock, timeout, [&] {
        for (auto it = _messages.begin(); it != _messages.end(); ++it) {
            if (it->topic == topic) {
                found = std::move(*it);
                _messages.erase(it);
                return true;
            }
        }
        return false;
    });
    return found;
}

std::optional<MqttTestClient::Message> MqttTestClient::next(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(_mutex);
    if (!_cv.wait_for(lock, timeout, [&] { return !_messages.empty(); }))
        return std::nullopt;
    Message m = std::move(_messages.front());
    _messages.pop_front();
    return m;
}

void MqttTestClient::sync(std::chrono::milliseconds timeout)
{
    // At QoS 2 on both sides: the marker then queues behind every QoS 2 message already on its
    // way to this client instead of overtaking those the broker holds back for its in-flight limit.
    if (!_markerSubscribed) {
        subscribe(_markerTopic, 2, timeout);
        _markerSubscribed = true;
    }
    const unsigned long marker = ++_markersSent;
    publish(_markerTopic, std::to_string(marker), 2, false, timeout);
    std::unique_lock<std::mutex> lock(_mutex);
    if (!_cv.wait_for(lock, timeout, [&] { return _markersSeen >= marker; }))
        throw std::runtime_error("test client: sync marker did not come back");
}

std::vector<MqttTestClient::Message> MqttTestClient::received() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return {_messages.begin(), _messages.end()};
}

void MqttTestClient::clear()
{
    std::lock_guard<std::mutex> lock(_mutex);
    _messages.clear();
}

void MqttTestClient::onConnect(mosquitto*, void* self, int rc)
{
    auto* c = static_cast<MqttTestClient*>(self);
    std::lock_guard<std::mutex> lock(c->_mutex);
    c->_connackRc = rc;
    c->_cv.notify_all();
}

void MqttTestClient::onSubscribe(mosquitto*, void* self, int mid, int, const int*)
{
    auto* c = static_cast<MqttTestClient*>(self);
    std::lock_guard<std::mutex> lock(c->_mutex);
    c->_acked.insert(mid);
    c->_cv.notify_all();
}

void MqttTestClient::onPublish(mosquitto*, void* self, int mid)
{
    auto* c = static_cast<MqttTestClient*>(self);
    std::lock_guard<std::mutex> lock(c->_mutex);
    c->_acked.insert(mid);
    c->_cv.notify_all();
}

void MqttTestClient::onMessage(mosquitto*, void* self, const mosquitto_message* m)
{
    auto* c = static_cast<MqttTestClient*>(self);
    Message msg;
    msg.topic = m->topic ? m->topic : "";
    if (m->payloadlen > 0)
        msg.payload.assign(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
    msg.qos = m->qos;
    msg.retain = m->retain;
    std::lock_guard<std::mutex> lock(c->_mutex);
    if (msg.topic == c->_markerTopic)
        c->_markersSeen = std::max(c->_markersSeen, std::strtoul(msg.payload.c_str(), nullptr, 10));
    else
        c->_messages.push_back(std::move(msg));
    c->_cv.notify_all();
}

} // namespace testsupport
