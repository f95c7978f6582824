#include "tavlo/client.h"

#include <cxxabi.h>
#include <exception>
#include <log4cpp/Priority.hh>
#include <string>

#include "null_text.h"

namespace tavlo {

namespace {

// The callbacks are called from the mosquitto C library, which an exception must never reach:
// whatever the body throws is logged at error on the client log and stopped here. A thread
// cancellation unwind is not an error and must go on.
template <typename Body>
void guard(log4cpp::Category& log, const char* callback, Body&& body)
{
    try {
        body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        try {
            log.error(std::string(callback) + " failed: " + e.what());
        } catch (...) {
        }
    } catch (...) {
        log.error("%s failed: an exception that is not a std::exception", callback);
    }
}

// mosquittopp keeps its mosquitto handle private, and its opts_set passes only the options that
// mosquitto_opts_set knows, which leaves out the integer options such as MOSQ_OPT_TCP_NODELAY.
// Access checks do not apply to the template arguments of an explicit instantiation, which is the
// one standard way to name the private member here.
mosquitto* handleOf(mosqpp::mosquittopp& client);

template <mosquitto* mosqpp::mosquittopp::*Member>
struct HandleAccess {
    friend mosquitto* handleOf(mosqpp::mosquittopp& client) { return client.*Member; }
};

template struct HandleAccess<&mosqpp::mosquittopp::m_mosq>;

// What mosquittopp's own log callback does: the client object is the library's user data.
void forwardLibraryLog(mosquitto*, void* client, int level, const char* str)
{
    static_cast<mosqpp::mosquittopp*>(client)->on_log(level, str);
}

} // namespace

Client::Client(const ClientSessionOptions& options, const char* logCategory)
    : mosqpp::mosquittopp(options.client_id, options.clean_session),
      _log(log4cpp::Category::getInstance(logCategory ? logCategory : "tavloClient")),
      _mosqLog(log4cpp::Category::getInstance("mosq")), resubscribe_on_connect(options.resubscribe_on_connect)
{
    _log.debug("Created tavlo::Client");
}

// Members go first (the subscriptions hold only filters and pointers), then the base destroys the
// mosquitto client.
Client::~Client() = default;

void Client::registerHandler(Handler* handler)
{
    if (!handler)
        throw Error("Client::registerHandler passed null handler");
    Filter filter(handler->topicFilter());
    _log.debug("Client::registerHandler adding handler \"" + handler->identity() + "\"");
    for (Subscription& subscription : _subscriptions) {
        if (subscription.filter() == filter) {
            _log.debug("Found subscription \"" + subscription.filter().topicFilter() + "\"" +
                       " already exists. Adding handler \"" + handler->identity() + "\" to it");
            subscription.addHandler(handler);
            return;
        }
    }
    _log.debug("Subscription does not exist for handler \"" + handler->identity() + "\". Adding it");
    Subscription subscription(this, filter);
    subscription.addHandler(handler);
    _subscriptions.push_back(subscription);
}

int Client::start(const char* host, int port) { return mosqpp::mosquittopp::connect(host, port, 60); }

void Client::subscribeAll()
{
    for (Subscription& subscription : _subscriptions) {
        if (resubscribe_on_connect)
            subscription.subscribe();
        else
            subscription.subscribeIfNecessary();
    }
}

int Client::subscribe(int* mid, const char* filter, int qos)
{
    return mosqpp::mosquittopp::subscribe(mid, filter, qos);
}

int Client::unsubscribe(int* mid, const char* filter) { return mosqpp::mosquittopp::unsubscribe(mid, filter); }

int Client::int_option(enum mosq_opt_t option, int value)
{
    return mosquitto_int_option(handleOf(*this), option, value);
}

void Client::library_log(bool on) { mosquitto_log_callback_set(handleOf(*this), on ? forwardLibraryLog : nullptr); }

void Client::on_connect_with_flags(int rc, int flags)
{
    guard(_log, "on_connect", [&] { on_connect(flags, rc); });
}

void Client::on_connect(int flags, int rc)
{
    guard(_log, "on_connect", [&] {
        if (rc != 0) {
            _log.error(std::string("Connection failed. ") + orNull(mosqpp::strerror(rc)));
            return;
        }
        connected = true;
        if (flags & 0x01) {
            // The broker still holds our subscriptions.
            _log.info("Connection up. Session already present");
            return;
        }
        _log.info("Connection up. Session not present");
        subscribeAll();
    });
}

void Client::on_disconnect(int rc)
{
    guard(_log, "on_disconnect", [&] {
        if (connected)
            _log.warn(std::string(orNull(mosqpp::strerror(rc))));
    });
}

void Client::on_publish(int mid)
{
    guard(_log, "on_publish", [&] { _log.debug("published msg: %d", mid); });
}

void Client::on_message(const struct mosquitto_message* message)
{
    guard(_log, "on_message", [&] {
        if (!message)
            return;
        // By index and over the subscriptions present when the message came: a handler that
        // registers another handler may reallocate the list, and the newcomer waits for the next
        // message.
        const size_t count = _subscriptions.size();
        for (size_t i = 0; i < count; ++i) {
            bool matches = false;
            try {
                matches = _subscriptions[i].filter().compareWithTopic(message->topic);
            } catch (const Error& e) {
                // The text holds the topic, which comes from the network: a string, never a format.
                _log.error(std::string(e.what()));
                continue;
            }
            if (matches)
                _subscriptions[i].informHandlers(*this, message);
        }
    });
}

void Client::on_subscribe(int mid, int qos_count, const int* granted_qos)
{
    guard(_log, "on_subscribe", [&] {
        // An empty list has no first value either.
        const int granted = (granted_qos && qos_count > 0) ? granted_qos[0] : -1;
        _log.debug("subscribed (msg:%d), qos: %d, granted: %d", mid, qos_count, granted);
    });
}

void Client::on_unsubscribe(int mid)
{
    guard(_log, "on_unsubscribe", [&] { _log.debug("unsubscribed (msg:%d)", mid); });
}

void Client::on_log(int level, const char* str)
{
    // The library logs every packet at debug: build nothing for a priority that is off. The text
    // goes in as a string, never as a format.
    guard(_log, "on_log", [&] {
        const int priority = mosq_to_l4cpp_prio(level);
        if (_mosqLog.isPriorityEnabled(priority))
            _mosqLog.log(priority, std::string(orNull(str)));
    });
}

void Client::on_error()
{
    guard(_log, "on_error",
          [&] { _mosqLog.error("mosquittopp encountered an error. We have no further information"); });
}

} // namespace tavlo
