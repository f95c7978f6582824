#pragma once

#include <tavlo/client.h>

namespace vek {

/// The command service's MQTT client: a tavlo::Client with TCP_NODELAY set (every job answer is
/// a small message on the latency path) that counts the publishes whose QoS handshake has
/// completed, so that a stopping service can tell when its last result has reached the broker,
/// and tells whether the session is up.
class ServiceClient : public tavlo::Client {
public:
    ServiceClient(const tavlo::ClientSessionOptions& options, const char* logCategory);

    using tavlo::Client::on_connect;
    void on_connect(int flags, int rc) override;
    void on_disconnect(int rc) override;
    void on_publish(int mid) override;
    /// The broker has accepted the connection and it has not been lost since.
    bool sessionUp() const { return _session_up; }
    /// Publishes completed since construction (for QoS 2: PUBCOMP received).
    unsigned long completed() const { return _completed; }

private:
    unsigned long _completed = 0;
    bool _session_up = false;
};

} // namespace vek
