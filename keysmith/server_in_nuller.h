#pragma once

#include <tavlo/client.h>

#include <string>

/// A handler that only logs what it receives: a dump at DEBUG and "received message <topic>" at
/// INFO on its own category; empty payloads are ignored. Kept for diagnosis, not registered by the
/// daemon.
class ServerInNuller : public tavlo::Handler {
public:
    ServerInNuller(std::string identity, std::string topicFilter, int qos);

    void onMessage(const tavlo::FilterVariables& variables, const mosquitto_message* message,
                   tavlo::Client& client) override;
};
