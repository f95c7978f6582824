#pragma once

#include "signal_waiter.h"

#include <tavlo/client.h>

/// Receives the server's upgrade requests on "in/key/+/request" (identity and log category
/// "serverRequest", QoS 2), hands each decoded request to the attached waiter and clears the
/// retained request from the broker. Runs on the MQTT network thread.
class ServerRequestHandler : public tavlo::Handler {
public:
    ServerRequestHandler();

    /// Ignores empty payloads (the echo of a removal). A payload that does not decode throws
    /// msgpack's exception before anything is handed over or removed, so the request stays
    /// retained and the client logs the failure.
    void onMessage(const tavlo::FilterVariables& variables, const mosquitto_message* message,
                   tavlo::Client& client) override;

    /// Where decoded requests go; not owned. Set before the client's network loop runs.
    cSignalWaiter* waiter = nullptr;
};
