#pragma once

#include "common/daemon_status.h"

#include <cstddef>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tavlo/client.h>

namespace keysmith {

/// The key update daemon's MQTT client: a tavlo::Client that remembers every message published
/// through publishTracked until the broker has confirmed it (for QoS 2: PUBCOMP), so that the
/// link can keep the session up on stopping until its last result has really been taken.
/// Once given the daemon's status it keeps "out/status/keysmith" up to date: "online" on every
/// accepted connection, "offline" as its last will and on a clean stop.
class KeyMqttClient : public tavlo::Client {
public:
    using tavlo::Client::Client;

    /// Sets the last will; before start(). False when the library refuses it.
    bool setStatus(const vek::DaemonStatus& status);
    /// Publishes the record of a clean stop (tracked); false when it was not handed over.
    bool publishStopped();
    void on_connect(int flags, int rc) override;

    /// publish() with the message remembered until it is confirmed; publish()'s result.
    int publishTracked(const char* topic, int payloadLength, const void* payload, int qos, bool retain);
    /// Messages published through publishTracked and not confirmed yet.
    size_t unconfirmed() const;

    void on_publish(int mid) override;

private:
    bool publishStatus(const std::string& record);

    // Set before the network thread starts, read-only afterwards.
    std::optional<vek::DaemonStatus> status;
    std::string onlineRecord;

    // Held across the publish call, so that a confirmation that comes at once on the network
    // thread finds its message id already recorded. Lock order: this mutex, then the MQTT
    // library's own; the library calls on_publish without holding any lock that publish takes.
    mutable std::mutex mutex;
    std::set<int> inFlight; // guarded by mutex: message ids awaiting confirmation
};

} // namespace keysmith
