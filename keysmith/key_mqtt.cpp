#include "key_mqtt.h"

#include "key.h"
#include "key_records.h"

#include "common/daemon_status.h"
#include "common/error_text.h"
#include "platform/config.h"
#include "vek_version.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <system_error>

namespace {

// The one link of the process, and the lock that makes creating and deleting it safe.
std::mutex instanceMutex;
cKeyMQTT* instance = nullptr; // guarded by instanceMutex

// How long the link waits before it calls the broker again after a failed or lost connection:
// short enough to come back promptly, long enough that a missing broker costs no CPU.
constexpr std::chrono::milliseconds kRetryInterval{1000};
// The pause after any other network loop error, which would otherwise be retried at once.
constexpr std::chrono::milliseconds kErrorPause{100};

// How long a stopping link keeps driving the client for records the broker has not confirmed.
constexpr std::chrono::milliseconds kDeliveryGrace{2000};

constexpr int kQos = 2;
constexpr int kLoopTimeoutMs = 1000;
constexpr int kAnswerSeconds = 15;

std::string keyTopic(uint32_t serial, const char* leaf)
{
    char topic[64];
    std::snprintf(topic, sizeof topic, "out/key/%08X/%s", serial, leaf);
    return topic;
}

template <typename Record>
std::string packed(const Record& record)
{
    msgpack::sbuffer buffer;
    msgpack::pack(buffer, record);
    return std::string(buffer.data(), buffer.size());
}

} // namespace

cKeyMQTT* cKeyMQTT::getInstance(const char* clientId, const char* brokerHost, int port,
                                const std::optional<Login>& login)
{
    std::lock_guard<std::mutex> lock(instanceMutex);
    if (!instance)
        instance = new cKeyMQTT(clientId, brokerHost, port, login);
    return instance;
}

void cKeyMQTT::destroyInstance()
{
    std::lock_guard<std::mutex> lock(instanceMutex);
    delete instance;
    instance = nullptr;
}

cKeyMQTT::cKeyMQTT(const char* clientId, const char* host, int port, const std::optional<Login>& login)
    : log(log4cpp::Category::getInstance("cKeyMQTT")), brokerPort(port)
{
    std::snprintf(brokerHost, sizeof brokerHost, "%s", host ? host : "");

    const int rc = mosqpp::lib_init();
    if (rc != MOSQ_ERR_SUCCESS) {
        log.error("Couldn't init mosquitto. %s", mosqpp::strerror(rc));
        return;
    }
    libraryReady = true;

    client = std::make_unique<keysmith::KeyMqttClient>(tavlo::ClientSessionOptions{clientId, true, true}, nullptr);
    client->registerHandler(&handler);
    handler.waiter = &requestWaiter;
    // The claim delay is the daemon's; the others are this link's and the key link's fixed limits.
    client->setStatus(vek::DaemonStatus{
        VEK_VERSION,
        vek::secondsNow(),
        {{"claim_delay_s", static_cast<uint64_t>(std::max(0, cConfig::getInt("ConnectionTime", 300)))},
         {"announce_wait_s", kAnswerSeconds},
         {"transfer_attempts", cKey::kTransferAttempts}}});
    // Nagle's algorithm would hold back each small packet of the QoS 2 handshakes.
    client->int_option(MOSQ_OPT_TCP_NODELAY, 1);
    // Publishing happens on the daemon's threads while this link's own thread runs the loop: the
    // library then queues the packets and wakes the loop instead of writing from the caller.
    client->threaded_set(true);
    if (login) {
        const int rc =
            client->username_pw_set(login->username.c_str(), login->password ? login->password->c_str() : nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            log.error("Cannot set the broker user name. %s", mosqpp::strerror(rc));
    }

    // A failed first connection is retried by the network thread.
    client->start(brokerHost, brokerPort);

    running = true; // no other thread yet
    try {
        thread = std::thread(&cKeyMQTT::networkLoop, this);
    } catch (const std::system_error& e) {
        running = false;
        log.error("Failed to create thread. %s", vek::errorText(e.code().value()).c_str());
    }
}

cKeyMQTT::~cKeyMQTT()
{
    // Delivered by the network thread before it disconnects, like a result still in flight.
    if (client && thread.joinable())
        client->publishStopped();
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        running = false;
    }
    stopSignal.notify_all();
    if (thread.joinable()) {
        // With nothing awaiting confirmation, a clean disconnect at once also wakes the loop out
        // of its wait for network traffic; otherwise the network thread delivers first.
        if (client->unconfirmed() == 0)
            client->disconnect();
        thread.join();
    }
    // The client goes before the library it was made with.
    client.reset();
    if (libraryReady) {
        const int rc = mosqpp::lib_cleanup();
        if (rc != MOSQ_ERR_SUCCESS)
            log.error("Couldn't cleanup mosquitto on exit. %s", mosqpp::strerror(rc));
    }
}

bool cKeyMQTT::isRunning()
{
    std::lock_guard<std::mutex> lock(stopMutex);
    return running;
}

bool cKeyMQTT::pauseUntil(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(stopMutex);
    stopSignal.wait_until(lock, deadline, [this] { return !running; });
    return running;
}

void cKeyMQTT::networkLoop() noexcept
{
    // The connection attempt made by the constructor counts as the first one.
    auto lastAttempt = std::chrono::steady_clock::now();
    try {
        while (isRunning()) {
            const int rc = client->loop(kLoopTimeoutMs, 1);
            if (rc == MOSQ_ERR_SUCCESS)
                continue;
            if (rc != MOSQ_ERR_NO_CONN && rc != MOSQ_ERR_CONN_LOST) {
                pauseUntil(std::chrono::steady_clock::now() + kErrorPause);
                continue;
            }
            // A lost connection that was up for a while is called again at once; otherwise the
            // attempts are spaced, as a missing broker refuses them at once.
            if (!pauseUntil(lastAttempt + kRetryInterval))
                break;
            lastAttempt = std::chrono::steady_clock::now();
            client->start(brokerHost, brokerPort);
        }
        deliverPending();
    } catch (const std::exception& e) {
        log.error("Network thread stopped: %s", e.what());
    } catch (...) {
        log.error("Network thread stopped by an unknown exception");
    }
}

void cKeyMQTT::deliverPending()
{
    // A clean-session broker drops a QoS 2 message whose handshake is not complete when the
    // client disconnects: the last result would be lost.
    const auto deadline = std::chrono::steady_clock::now() + kDeliveryGrace;
    while (client->unconfirmed() > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            log.warn("stopping with %zu record(s) not confirmed by the broker", client->unconfirmed());
            break;
        }
        const int rc = client->loop(static_cast<int>(std::min<long long>(left, 100)), 1);
        if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST) {
            log.warn("stopping without a connection; %zu record(s) not confirmed by the broker", client->unconfirmed());
            return;
        }
    }
    // The disconnect is written by the next loop call (the client is in threaded mode).
    if (client->disconnect() == MOSQ_ERR_SUCCESS)
        client->loop(100, 1);
}

bool cKeyMQTT::publishRecord(const std::string& topic, const std::string& payload)
{
    if (!client) {
        log.error("Could not notify. %s", "the MQTT library is not initialised");
        return false;
    }
    const int rc = client->publishTracked(topic.c_str(), static_cast<int>(payload.size()), payload.data(), kQos, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        log.error("Could not notify. %s", mosqpp::strerror(rc));
        return false;
    }
    return true;
}

void cKeyMQTT::publishNotification(uint32_t serial, uint32_t currentVersion)
{
    keysmith::Notification notification;
    notification.version = currentVersion;
    if (publishRecord(keyTopic(serial, "notification"), packed(notification)))
        log.debug("Notified that key 0x%08X:0x%08X is connected", serial, currentVersion);
}

void cKeyMQTT::publishResult(bool success, uint32_t serial, uint32_t version)
{
    keysmith::Result result;
    result.success = success;
    result.version = version;
    if (!publishRecord(keyTopic(serial, "result"), packed(result)))
        return;
    char text[96];
    std::snprintf(text, sizeof text, "Sent result that key %08X was %s to %08X", serial,
                  success ? "upgraded" : "NOT upgraded", version);
    log.debug(std::string(text));
}

void cKeyMQTT::publishProgress(uint32_t serial, const std::string& record)
{
    publishRecord(keyTopic(serial, "progress"), record);
}

uint32_t cKeyMQTT::announceKey(uint32_t serial, uint32_t currentVersion)
{
    publishNotification(serial, currentVersion);
    if (!client)
        return 0; // no request can ever arrive

    ServerRequest* received = nullptr;
    if (!requestWaiter.wait(&received, kAnswerSeconds) || !received)
        return 0;
    const std::unique_ptr<ServerRequest> request(received);

    std::ostringstream text;
    text << *request;
    log.info(text.str());
    if (request->serial != serial)
        return 0;

    log.debug("Request is for this key, version " + std::to_string(currentVersion));
    if (request->version >= currentVersion) {
        log.debug("Upgrade key to %08X", request->version);
        return request->version;
    }
    log.debug("Key will not be upgraded");
    return 0;
}
