#pragma once

#include <cstddef>
#include <mutex>
#include <set>
#include <tavlo/client.h>

namespace keysmith {

/// The key update daemon's MQTT client: a tavlo::Client that remembers every message published
/// through publishTracked until the broker has confirmed it (for QoS 2: PUBCOMP), so that the
/// link can keep the session up on stopping until its last result has really been taken.
class KeyMqttClient : public tavlo::Client {
public:
    using tavlo::Client::Client;

    /// publish() with the message remembered until it is confirmed; publish()'s result.
    int publishTracked(const char* topic, int payloadLength, const void* payload, int qos, bool retain);
    /// Messages published through publishTracked and not confirmed yet.
    size_t unconfirmed() const;

    void on_publish(int mid) override;

private:
    // Held across the publish call, so that a confirmation that comes at once on the network
    // thread finds its message id already recorded. Lock order: this mutex, then the MQTT
    // library's own; the library calls on_publish without holding any lock that publish takes.
    mutable std::mutex mutex;
    std::set<int> inFlight; // guarded by mutex: message ids awaiting confirmation
};

} // namespace keysmith
