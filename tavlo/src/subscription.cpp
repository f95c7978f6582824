#include "tavlo/subscription.h"

#include "tavlo/client.h"

#include <exception>
#include <string>
#include <utility>

#include "null_text.h"

namespace tavlo {

namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

} // namespace

Subscription::Subscription(Client* client, Filter filter) : _client(client), _filter(std::move(filter))
{
    if (!_client)
        throw Error("Subscription needs a client");
}

void Subscription::addHandler(Handler* handler)
{
    if (!handler)
        throw Error("Subscription::addHandler passed null handler");
    if (handler->qos() > _qos)
        _qos = handler->qos();
    _handlers.push_back(handler);
}

void Subscription::subscribeIfNecessary()
{
    if (subscribed)
        return;
    _client->log().debug(quoted(_filter.topicFilter()) + " hasn't been subscribed before... trying now");
    subscribe();
}

void Subscription::subscribe()
{
    const int rc = _client->subscribe(nullptr, _filter.topicFilter().c_str(), _qos);
    if (rc != 0) {
        _client->log().error("Subscription::subscribe failed for " + quoted(_filter.topicFilter()) + ". " +
                             orNull(mosqpp::strerror(rc)));
        return;
    }
    _client->log().info("subscribed to " + quoted(_filter.topicFilter()));
    subscribed = true;
}

void Subscription::informHandlers(Client& client, const mosquitto_message* message)
{
    log4cpp::Category& log = _client->log();
    if (log.isDebugEnabled())
        log.debug("received " + quoted(_filter.topicFilter()));
    const FilterVariables variables = _filter.captureFilterVariables(message ? message->topic : nullptr);
    // A handler that registers another handler may grow this list or move this very subscription
    // inside the client's list: work on a copy and leave this object alone from here on.
    const std::vector<Handler*> handlers = _handlers;
    for (Handler* handler : handlers) {
        // Only standard exceptions are a handler's reportable failures; anything else ends the
        // dispatch of this message and is stopped at the client's callback boundary.
        try {
            handler->onMessage(variables, message, client);
        } catch (const std::exception& e) {
            log.warn(std::string("handler through exception onMessage. ") + e.what());
        }
    }
}

} // namespace tavlo
