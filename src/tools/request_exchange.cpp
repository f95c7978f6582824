#include "request_exchange.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <map>
#include <set>

#include <mosquitto.h>

#include "common/c_handle.h"
#include "common/error_text.h"

namespace vek::request {

volatile sig_atomic_t interrupted = 0;

namespace {

using Clock = std::chrono::steady_clock;
using Mosquitto = vek::CHandle<mosquitto, mosquitto_destroy>;

void onSignal(int) { interrupted = 1; }

// Filled by the callbacks, which run inside mosquitto_loop on this thread.
struct Session {
    std::vector<Transaction> transactions;
    std::map<std::string, size_t> by_result_topic;
    int connack = -1;
    int subscribe_mid = -1;
    bool subscribed = false;
    bool subscription_refused = false;
    std::set<int> completed;
    size_t answered = 0;
    bool failed_alloc = false;
    // A look at retained messages.
    bool collecting = false;
    std::string marker;
    bool marker_seen = false;
    std::vector<Retained> retained;
};

// Unique among concurrent requests: host, process, time and a counter.
std::string freshJobId()
{
    static unsigned counter = 0;
    char host[64] = "";
    gethostname(host, sizeof host - 1);
    const auto now =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    std::string id = "req-" + std::string(host) + "-" + std::to_string(getpid()) + "-" + std::to_string(now) + "-" +
        std::to_string(++counter);
    // The id is one topic level: no separators or wildcards in it.
    for (char& c : id)
        if (c == '/' || c == '+' || c == '#')
            c = '_';
    return id;
}

// The library's text for a failed call, or the system's when the library says "see errno".
std::string mosquittoError(int rc) { return rc == MOSQ_ERR_ERRNO ? vek::errorText(errno) : mosquitto_strerror(rc); }

enum class Wait { Done, Deadline, Failed };

// Runs the network loop until done(), the deadline, an interrupt (unless ignored) or a lost
// connection.
template <typename Done>
Wait runUntil(mosquitto* mosq, Clock::time_point deadline, Done done, std::ostream& err, bool ignoreInterrupt = false)
{
    while (!done()) {
        if (interrupted && !ignoreInterrupt)
            return Wait::Deadline;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return Wait::Deadline;
        const int rc = mosquitto_loop(mosq, static_cast<int>(left < 100 ? left : 100), 1);
        if (rc != MOSQ_ERR_SUCCESS && !(rc == MOSQ_ERR_ERRNO && errno == EINTR)) {
            err << "vek-request: " << mosquittoError(rc) << "\n";
            return Wait::Failed;
        }
    }
    return Wait::Done;
}

void onConnect(mosquitto*, void* obj, int rc) { static_cast<Session*>(obj)->connack = rc; }

void onSubscribe(mosquitto*, void* obj, int mid, int count, const int* granted)
{
    auto* session = static_cast<Session*>(obj);
    if (mid != session->subscribe_mid)
        return;
    session->subscribed = true;
    for (int i = 0; i < count; ++i)
        if (granted[i] > 2)
            session->subscription_refused = true; // 0x80: the broker will not deliver that topic
}

void onPublish(mosquitto*, void* obj, int mid)
{
    auto* session = static_cast<Session*>(obj);
    try {
        session->completed.insert(mid);
    } catch (...) {
        session->failed_alloc = true;
    }
}

void collect(Session& session, const mosquitto_message* message)
{
    if (message->topic == session.marker) {
        session.marker_seen = true;
        return;
    }
    // Live messages that come in meanwhile are not the broker's store; an empty one clears.
    if (session.marker_seen || !message->retain || message->payloadlen == 0)
        return;
    session.retained.push_back(
        {message->topic,
         std::string(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen))});
}

void onMessage(mosquitto*, void* obj, const mosquitto_message* message)
{
    auto* session = static_cast<Session*>(obj);
    if (!message->topic)
        return;
    try {
        if (session->collecting) {
            collect(*session, message);
            return;
        }
        const auto found = session->by_result_topic.find(message->topic);
        if (found == session->by_result_topic.end())
            return;
        Transaction& transaction = session->transactions[found->second];
        // The first answer counts; a request run again after a reconnection answers again.
        if (transaction.answer)
            return;
        transaction.answer.emplace(static_cast<const char*>(message->payload),
                                   static_cast<size_t>(message->payloadlen));
        ++session->answered;
    } catch (...) {
        session->failed_alloc = true;
    }
}

// The broker is this machine: a password sent to it in plain text does not cross a network.
bool isLoopback(const std::string& host) { return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0; }

// Sets TLS and the login on the client; false after a message.
bool configureClient(mosquitto* mosq, const Options& options, std::ostream& err)
{
    int rc = MOSQ_ERR_SUCCESS;
    if (!options.cafile.empty()) {
        rc = mosquitto_tls_set(mosq, options.cafile.c_str(), nullptr,
                               options.cert.empty() ? nullptr : options.cert.c_str(),
                               options.key.empty() ? nullptr : options.key.c_str(), nullptr);
        // The broker's certificate is checked, and nothing below TLS 1.2 is spoken, whatever
        // the library's own default.
        if (rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_tls_opts_set(mosq, 1, "tlsv1.2", nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            err << "vek-request: TLS set-up: " << mosquittoError(rc) << "\n";
            return false;
        }
    } else if (options.password && !isLoopback(options.host)) {
        err << "vek-request: warning: the password goes to " << options.host
            << " in plain text (no --cafile, so no TLS)\n";
    }
    if (options.username) {
        rc = mosquitto_username_pw_set(mosq, options.username->c_str(),
                                       options.password ? options.password->c_str() : nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            err << "vek-request: user name: " << mosquitto_strerror(rc) << "\n";
            return false;
        }
    }
    return true;
}

// A client connected to the broker, or null after a message.
Mosquitto connectClient(const Options& options, Session& session, Clock::time_point deadline, std::ostream& err)
{
    Mosquitto mosq(mosquitto_new(nullptr, true, &session));
    if (!mosq) {
        err << "vek-request: cannot create an MQTT client\n";
        return nullptr;
    }
    mosquitto_int_option(mosq.get(), MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq.get(), &onConnect);
    mosquitto_subscribe_callback_set(mosq.get(), &onSubscribe);
    mosquitto_publish_callback_set(mosq.get(), &onPublish);
    mosquitto_message_callback_set(mosq.get(), &onMessage);
    if (!configureClient(mosq.get(), options, err))
        return nullptr;

    const int rc = mosquitto_connect(mosq.get(), options.host.c_str(), options.port, 60);
    if (rc != MOSQ_ERR_SUCCESS) {
        err << "vek-request: cannot connect to " << options.host << ":" << options.port << ": " << mosquittoError(rc)
            << "\n";
        return nullptr;
    }
    if (runUntil(
            mosq.get(), deadline, [&] { return session.connack >= 0; }, err) != Wait::Done ||
        session.connack != 0) {
        err << "vek-request: the broker did not accept the connection"
            << (session.connack > 0 ? std::string(": ") + mosquitto_connack_string(session.connack) : "") << "\n";
        return nullptr;
    }
    return mosq;
}

// Subscribes the filters and waits for the broker's acknowledgement; false after a message.
bool subscribeAll(mosquitto* mosq, Session& session, std::vector<std::string>& filters, int qos,
                  Clock::time_point deadline, std::ostream& err)
{
    std::vector<char*> texts;
    for (std::string& filter : filters)
        texts.push_back(filter.data());
    const int rc = mosquitto_subscribe_multiple(mosq, &session.subscribe_mid, static_cast<int>(texts.size()),
                                                texts.data(), qos, 0, nullptr);
    if (rc != MOSQ_ERR_SUCCESS ||
        runUntil(
            mosq, deadline, [&] { return session.subscribed; }, err) != Wait::Done ||
        session.subscription_refused) {
        err << "vek-request: cannot subscribe to the topic" << (texts.size() > 1 ? "s " : " ") << filters.front()
            << (texts.size() > 1 ? " ..." : "") << "\n";
        return false;
    }
    return true;
}

// Ends every transaction whose request went out: an empty retained message on its request topic.
void endTransactions(mosquitto* mosq, Session& session, size_t published, int qos, std::ostream& err)
{
    for (size_t i = 0; i < published; ++i) {
        Transaction& t = session.transactions[i];
        if (mosquitto_publish(mosq, &t.end_mid, t.request_topic.c_str(), 0, nullptr, qos, true) != MOSQ_ERR_SUCCESS)
            t.end_mid = -1;
    }
    const auto allEnded = [&] {
        for (size_t i = 0; i < published; ++i)
            if (session.transactions[i].end_mid >= 0 && !session.completed.count(session.transactions[i].end_mid))
                return false;
        return true;
    };
    if (runUntil(mosq, Clock::now() + std::chrono::seconds(5), allEnded, err, true) != Wait::Done || !allEnded())
        err << "vek-request: the end of a transaction was not confirmed\n";
}

Clock::time_point deadlineOf(const Options& options)
{
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.timeout_s));
}

} // namespace

void catchStopSignals()
{
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a signal ends the wait in the network loop at once.
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

std::optional<JobExchange> exchangeJob(const Options& options, std::ostream& err)
{
    const std::string job_id = freshJobId();
    Session session;
    const std::vector<Target> targets = options.targets.empty() ? std::vector<Target>{{"", ""}} : options.targets;
    for (const Target& target : targets) {
        session.by_result_topic[target.prefix + "out/cmd/" + job_id] = session.transactions.size();
        session.transactions.push_back(
            {target, target.prefix + "in/cmd/" + job_id, target.prefix + "out/cmd/" + job_id, std::nullopt, -1});
    }

    std::vector<std::uint8_t> request;
    try {
        request = nlohmann::json::to_msgpack(nlohmann::json{{"lua_script", options.script}, {"args", options.args}});
    } catch (const nlohmann::json::exception& e) {
        err << "vek-request: cannot encode the request: " << e.what() << "\n";
        return std::nullopt;
    }

    const auto deadline = deadlineOf(options);
    Mosquitto mosq = connectClient(options, session, deadline, err);
    if (!mosq)
        return std::nullopt;
    // Subscribed to every result topic before a request goes out, so no answer can be missed.
    std::vector<std::string> filters;
    for (const Transaction& t : session.transactions)
        filters.push_back(t.result_topic);
    if (!subscribeAll(mosq.get(), session, filters, options.qos, deadline, err))
        return std::nullopt;
    size_t published = 0;
    for (Transaction& t : session.transactions) {
        const int rc = mosquitto_publish(mosq.get(), nullptr, t.request_topic.c_str(), static_cast<int>(request.size()),
                                         request.data(), options.qos, true);
        if (rc != MOSQ_ERR_SUCCESS) {
            err << "vek-request: cannot publish on " << t.request_topic << ": " << mosquitto_strerror(rc) << "\n";
            break;
        }
        ++published;
    }
    Wait answers = Wait::Done;
    if (published == session.transactions.size())
        answers = runUntil(
            mosq.get(), deadline, [&] { return session.answered == session.transactions.size(); }, err);
    if (interrupted)
        err << "vek-request: interrupted\n";
    if (answers == Wait::Failed) {
        // The retained requests would stay at the broker and run again and again: connect once
        // more to end the transactions.
        session.connack = -1;
        if (mosquitto_reconnect(mosq.get()) != MOSQ_ERR_SUCCESS ||
            runUntil(
                mosq.get(), Clock::now() + std::chrono::seconds(5), [&] { return session.connack >= 0; }, err, true) !=
                Wait::Done ||
            session.connack != 0)
            err << "vek-request: cannot connect again to end the transactions\n";
    }

    // Ended also after a time-out: a job that finishes later then leaves no retained result.
    endTransactions(mosq.get(), session, published, options.qos, err);
    mosquitto_disconnect(mosq.get());

    if (session.failed_alloc) {
        err << "vek-request: out of memory\n";
        return std::nullopt;
    }
    if (published < session.transactions.size())
        return std::nullopt;
    return JobExchange{std::move(session.transactions), answers == Wait::Failed};
}

std::optional<std::vector<Retained>> collectRetained(const Options& options, const std::vector<std::string>& filters,
                                                     const std::string& marker, std::ostream& err)
{
    Session session;
    session.collecting = true;
    session.marker = marker + "/" + freshJobId();
    const auto deadline = deadlineOf(options);
    Mosquitto mosq = connectClient(options, session, deadline, err);
    if (!mosq)
        return std::nullopt;
    std::vector<std::string> all = filters;
    all.push_back(session.marker);
    // One QoS for the retained messages and the marker, so that the broker keeps them in order.
    if (!subscribeAll(mosq.get(), session, all, 1, deadline, err))
        return std::nullopt;
    if (mosquitto_publish(mosq.get(), nullptr, session.marker.c_str(), 0, nullptr, 1, false) != MOSQ_ERR_SUCCESS ||
        runUntil(
            mosq.get(), deadline, [&] { return session.marker_seen; }, err) != Wait::Done) {
        err << "vek-request: the broker did not send back the end marker on " << session.marker << "\n";
        return std::nullopt;
    }
    mosquitto_disconnect(mosq.get());
    if (session.failed_alloc) {
        err << "vek-request: out of memory\n";
        return std::nullopt;
    }
    return std::move(session.retained);
}

} // namespace vek::request
