#pragma once

#include "tavlo/filter.h"
#include "tavlo/handler.h"

#include <mosquitto.h>
#include <vector>

namespace tavlo {

class Client;

/// One distinct topic filter of a client and the handlers registered on it (not owned).
class Subscription {
public:
    /// Throws tavlo::Error on a null client.
    Subscription(Client* client, Filter filter);

    /// Appends the handler and raises the subscription's QoS to the handler's when that is higher.
    /// Throws tavlo::Error on a null handler.
    void addHandler(Handler* handler);
    /// subscribe() unless an earlier request was already accepted.
    void subscribeIfNecessary();
    /// Asks the client to subscribe the filter at the subscription's QoS.
    void subscribe();
    /// Calls every handler in registration order with the topic's wildcard values.
    void informHandlers(Client& client, const mosquitto_message* message);

    const Filter& filter() const { return _filter; }
    const std::vector<Handler*>& handlers() const { return _handlers; }
    /// The highest QoS among the handlers; -1 before the first one.
    int qos() const { return _qos; }
    /// A subscribe request for the filter was once accepted by the mosquitto client.
    bool isSubscribed() const { return subscribed; }

private:
    Client* _client;
    Filter _filter;
    std::vector<Handler*> _handlers;
    int _qos = -1;
    bool subscribed = false;
};

} // namespace tavlo
