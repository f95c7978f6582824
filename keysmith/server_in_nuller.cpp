#include "server_in_nuller.h"

#include <log4cpp/Priority.hh>
#include <utility>

ServerInNuller::ServerInNuller(std::string identity, std::string topicFilter, int qos)
    : tavlo::Handler(std::move(identity), std::move(topicFilter), qos)
{}

void ServerInNuller::onMessage(const tavlo::FilterVariables& variables, const mosquitto_message* message,
                               tavlo::Client&)
{
    if (!message || message->payloadlen <= 0 || !message->payload)
        return;
    tavlo::log_message(log4cpp::Priority::DEBUG, _log, variables.getWildcards(), message);
    _log.info("received message %s", message->topic ? message->topic : "<NULL>");
}
