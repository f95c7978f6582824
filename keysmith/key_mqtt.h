#pragma once

#include "key_mqtt_client.h"
#include "server_request_handler.h"
#include "signal_waiter.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <log4cpp/Category.hh>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tavlo/client.h>
#include <thread>

/// The daemon's one link to the server over MQTT: keeps a client connected from a network thread
/// of its own, announces connected keys, receives upgrade requests (handed over through
/// requestWaiter) and reports upgrade outcomes. Everything it publishes is QoS 2 and retained.
/// Logs on the category "cKeyMQTT".
///
/// When the MQTT library cannot be initialised the link has no client and no thread: publishing
/// logs an error and sends nothing, announceKey answers 0 at once.
class cKeyMQTT {
public:
    static constexpr int kDefaultPort = 1883;

    /// The user name and password the link logs in with; none: an anonymous session.
    struct Login {
        std::string username;
        std::optional<std::string> password;
    };

    /// The process's link, created by the first call (which connects to host:port in the
    /// background, logging in when a login is given); later calls return it and ignore their
    /// arguments.
    static cKeyMQTT* getInstance(const char* clientId, const char* brokerHost, int port = kDefaultPort,
                                 const std::optional<Login>& login = std::nullopt);
    /// Stops the network thread and deletes the link. The last call made on it. What the link
    /// published and the broker has not confirmed yet is given up to 2 s to be confirmed first.
    static void destroyInstance();

    virtual ~cKeyMQTT();
    cKeyMQTT(const cKeyMQTT&) = delete;
    cKeyMQTT& operator=(const cKeyMQTT&) = delete;

    /// Publishes the key's notification and waits up to 15 s for a request. The version to upgrade
    /// to (the requested one when it is at least the current one), or 0: no answer, an answer for
    /// another key, or a lower version.
    uint32_t announceKey(uint32_t serial, uint32_t currentVersion);
    void publishResult(bool success, uint32_t serial, uint32_t version);
    void publishNotification(uint32_t serial, uint32_t currentVersion);
    /// Publishes a packed progress record (see progress_record.h) on out/key/<serial>/progress.
    void publishProgress(uint32_t serial, const std::string& record);

    /// Requests received from the server are handed over here.
    cSignalWaiter requestWaiter;

private:
    cKeyMQTT(const char* clientId, const char* brokerHost, int port, const std::optional<Login>& login);

    void networkLoop() noexcept;
    bool isRunning();
    /// Waits on the stop signal until the deadline; false once the link is stopping.
    bool pauseUntil(std::chrono::steady_clock::time_point deadline);
    bool publishRecord(const std::string& topic, const std::string& payload);
    /// Drives the client, on the network thread after it stopped looping, until every record
    /// published is confirmed, the grace is over or the connection is gone; then disconnects.
    void deliverPending();

    log4cpp::Category& log;
    char brokerHost[128];
    int brokerPort;
    std::unique_ptr<keysmith::KeyMqttClient> client; // null when the MQTT library could not be initialised
    ServerRequestHandler handler;
    bool libraryReady = false; // lib_init succeeded, so lib_cleanup is due

    std::mutex stopMutex;               // guards running
    std::condition_variable stopSignal; // cuts a reconnection pause short when running is cleared
    bool running = false;               // guarded by stopMutex: keeps the network thread looping
    std::thread thread;                 // the network thread; joined in the destructor
};
