#pragma once

#include <optional>
#include <string>

#include <tavlo/client.h>

#include "common/daemon_status.h"

namespace vek {

/// The command service's MQTT client: a tavlo::Client with TCP_NODELAY set (every job answer is
/// a small message on the latency path) that counts the publishes whose QoS handshake has
/// completed, so that a stopping service can tell when its last result has reached the broker,
/// and tells whether the session is up. Once given the service's status it keeps
/// "out/status/vek-command" up to date: "online" on every accepted connection, "offline" as its
/// last will and on a clean stop. While connected it leaves mosquitto's own log lines unmade
/// unless the "mosq" category logs DEBUG.
class ServiceClient : public tavlo::Client {
public:
    ServiceClient(const tavlo::ClientSessionOptions& options, const char* logCategory);

    /// Sets the last will; before start(). False when the library refuses it.
    bool setStatus(const DaemonStatus& status);
    /// Publishes the record of a clean stop; false when it could not be handed to the library.
    bool publishStopped();

    using tavlo::Client::on_connect;
    void on_connect(int flags, int rc) override;
    void on_disconnect(int rc) override;
    void on_publish(int mid) override;
    /// The broker has accepted the connection and it has not been lost since.
    bool sessionUp() const { return _session_up; }
    /// Publishes completed since construction (for QoS 2: PUBCOMP received).
    unsigned long completed() const { return _completed; }
    /// Status records handed to the library so far; their completions count in completed().
    unsigned long statusPublished() const { return _status_published; }

private:
    bool publishStatus(const std::string& record);

    log4cpp::Category& _mosq_log;
    std::optional<DaemonStatus> _status;
    std::string _online; // the packed "online" record, ready for the connect callback
    unsigned long _completed = 0;
    bool _session_up = false;
    unsigned long _status_published = 0;
};

} // namespace vek
