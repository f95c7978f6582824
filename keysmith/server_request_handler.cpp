#include "server_request_handler.h"

#include <log4cpp/Priority.hh>
#include <memory>
#include <string>

ServerRequestHandler::ServerRequestHandler() : tavlo::Handler("serverRequest", "in/key/+/request", 2) {}

void ServerRequestHandler::onMessage(const tavlo::FilterVariables& variables, const mosquitto_message* message,
                                     tavlo::Client& client)
{
    if (!message || !message->topic || message->payloadlen <= 0 || !message->payload)
        return;
    tavlo::log_message(log4cpp::Priority::DEBUG, _log, variables.getWildcards(), message);

    if (waiter) {
        auto request = std::make_unique<ServerRequest>();
        request->decode(message->payload, static_cast<std::size_t>(message->payloadlen));
        request->serial = ServerRequest::parseSerial(variables.get(0).value);
        _log.info(std::string("My topic: ") + message->topic);
        _log.info("serial  : " + std::to_string(request->serial));
        waiter->trigger(request.release());
    }

    // An empty retained message clears the request at the broker, so it is processed only once.
    const int rc = client.publish(nullptr, message->topic, 0, nullptr, 2, true);
    if (rc != MOSQ_ERR_SUCCESS)
        _log.error("Could not remove message. %s", mosqpp::strerror(rc));
}
