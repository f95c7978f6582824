#pragma once

#include "tavlo/filter_vars.h"

#include <log4cpp/Category.hh>
#include <mosquitto.h>
#include <string>

namespace tavlo {

class Client;

/// Base of a program's message handlers: one topic filter, the QoS wanted for it and a name. The
/// program owns its handlers and keeps them alive as long as the client they are registered with.
class Handler {
public:
    Handler(std::string identity, std::string topicFilter, int qos);
    virtual ~Handler();
    Handler(const Handler&) = delete;
    Handler& operator=(const Handler&) = delete;

    /// Called on the network loop thread once per message whose topic matches the filter.
    virtual void onMessage(const FilterVariables& variables, const mosquitto_message* message, Client& client) = 0;

    const std::string& identity() const { return _identity; }
    const std::string& topicFilter() const { return _topicFilter; }
    int qos() const { return _qos; }

protected:
    log4cpp::Category& _log; ///< the category named like the identity

private:
    int _qos;
    std::string _identity;
    std::string _topicFilter;
};

} // namespace tavlo
