#pragma once

#include "tavlo/error.h"
#include "tavlo/filter.h"
#include "tavlo/filter_vars.h"
#include "tavlo/handler.h"
#include "tavlo/logging.h"
#include "tavlo/subscription.h"
#include "tavlo/wildcard.h"

#include <log4cpp/Category.hh>
#include <mosquitto.h>
#include <mosquittopp.h>
#include <vector>

namespace tavlo {

/// Session settings of a client.
struct ClientSessionOptions {
    const char* client_id = nullptr;
    bool clean_session = true;
    /// Re-send every subscription on each connection without a broker session; when false only the
    /// subscriptions whose requests were never accepted are sent.
    bool resubscribe_on_connect = true;
};

/// The mosquitto client with handler dispatch: handlers registered on topic filters are subscribed
/// on each accepted connection and called with the wildcard values of every matching message.
/// Publishing and the network loop are the inherited mosquittopp operations; the client has no
/// thread of its own, so every callback and handler runs on the thread that calls loop().
class Client : public mosqpp::mosquittopp {
public:
    /// logCategory names the client's log category; "tavloClient" when null.
    Client(const ClientSessionOptions& options, const char* logCategory);
    ~Client() override;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    /// Adds the handler to the subscription of its filter, creating that subscription when it is
    /// new. Never talks to the broker. Throws tavlo::Error on a null handler. A handler registered
    /// from inside another handler takes part from the next message on.
    void registerHandler(Handler* handler);
    /// Connects (keep-alive 60 s); the outcome arrives through on_connect inside loop().
    int start(const char* host, int port);
    /// Subscribes every filter (or only those never subscribed, see ClientSessionOptions).
    void subscribeAll();
    std::vector<Subscription>& subscriptions() { return _subscriptions; }
    const std::vector<Subscription>& subscriptions() const { return _subscriptions; }

    int subscribe(int* mid, const char* filter, int qos = 0);
    int unsubscribe(int* mid, const char* filter);

    /// An integer option of the mosquitto client (mosquitto_int_option), for the options that
    /// mosquittopp::opts_set does not pass on, such as MOSQ_OPT_TCP_NODELAY. Set before start().
    int int_option(enum mosq_opt_t option, int value);

    /// Whether the library's own log lines are made and handed to on_log (they are by default).
    /// mosquitto formats every line, a few per message, before on_log can leave it out; with false
    /// it makes none. Nearly all it logs on an established connection are DEBUG lines, so a client
    /// whose "mosq" category leaves DEBUG out may turn them off while it is connected.
    void library_log(bool on);

    /// A connection was accepted at least once; stays true when it is lost again, so it says
    /// nothing about the connection now.
    bool wasEverConnected() const { return connected; }
    log4cpp::Category& log() const { return _log; }

    // The plain connect callback is left to the base and does nothing; the one with the CONNACK
    // flags below does the work.
    using mosqpp::mosquittopp::on_connect;
    /// flags: the CONNACK flags (bit 0: session present); rc: the connection result code.
    virtual void on_connect(int flags, int rc);
    void on_disconnect(int rc) override;
    void on_publish(int mid) override;
    void on_message(const struct mosquitto_message* message) override;
    void on_subscribe(int mid, int qos_count, const int* granted_qos) override;
    void on_unsubscribe(int mid) override;
    void on_log(int level, const char* str) override;
    void on_error() override;
    /// Routes the library's connect callback to on_connect(flags, rc).
    void on_connect_with_flags(int rc, int flags) final;

private:
    log4cpp::Category& _log;
    log4cpp::Category& _mosqLog;
    std::vector<Subscription> _subscriptions;
    bool connected = false;
    bool resubscribe_on_connect;
};

} // namespace tavlo
