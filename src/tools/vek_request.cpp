// vek-request: sends one command request to the command service and prints the answer.
//
//   vek-request [-H host] [-p port] [-t seconds] SCRIPT [ARGS-AS-JSON]
//
// The JSON arguments travel as MessagePack under "args" (nil when none are given). The answer is
// printed as it came, followed by a newline; a failure result is printed as "failed: <reason>"
// on the standard error stream. The transaction is then ended with an empty message on the
// request topic, which clears the retained result. Exit status: 0 answer, 1 job failure,
// 2 usage error, no connection or no answer in time.

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include "c_handle.h"

namespace {

using Clock = std::chrono::steady_clock;
using Mosquitto = CHandle<mosquitto, mosquitto_destroy>;

constexpr int kExitAnswer = 0;
constexpr int kExitJobFailed = 1;
constexpr int kExitNoAnswer = 2;

const char* const kUsage = "usage: vek-request [-H host] [-p port] [-t seconds] SCRIPT [ARGS-AS-JSON]\n"
                           "  -H host     broker host (default localhost)\n"
                           "  -p port     broker port (default 1883)\n"
                           "  -t seconds  how long to wait for the answer (default 10)\n"
                           "  SCRIPT      job script name, without \".lua\"\n"
                           "  ARGS        the job's arguments as JSON (default: none, nil in Lua)\n";

struct Options {
    std::string host = "localhost";
    int port = 1883;
    double timeout_s = 10;
    std::string script;
    nlohmann::json args; // null unless given
};

// Filled by the callbacks, which run inside mosquitto_loop on this thread.
struct Session {
    std::string result_topic;
    int connack = -1;
    int subscribe_mid = -1;
    bool subscribed = false;
    std::vector<int> completed;
    std::optional<std::string> answer;
    bool failed_alloc = false;
};

bool parseNumber(const char* text, double& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0';
}

// Fills options from argv; false (after a message) on a usage error.
bool parseArguments(int argc, char** argv, Options& options)
{
    int opt;
    double number;
    opterr = 0;
    while ((opt = getopt(argc, argv, "+H:p:t:h")) != -1) {
        switch (opt) {
        case 'H':
            options.host = optarg;
            break;
        case 'p':
            // In range before the conversion, which is undefined for NaN and out-of-range values.
            if (!parseNumber(optarg, number) || !(number >= 1 && number <= 65535) ||
                number != static_cast<int>(number)) {
                std::cerr << "vek-request: invalid port \"" << optarg << "\"\n";
                return false;
            }
            options.port = static_cast<int>(number);
            break;
        case 't':
            if (!parseNumber(optarg, number) || !(number > 0) || number > 86400) {
                std::cerr << "vek-request: invalid time-out \"" << optarg << "\"\n";
                return false;
            }
            options.timeout_s = number;
            break;
        default:
            return false;
        }
    }
    const int left = argc - optind;
    if (left < 1 || left > 2) {
        return false;
    }
    options.script = argv[optind];
    if (options.script.empty()) {
        std::cerr << "vek-request: empty script name\n";
        return false;
    }
    if (left == 2) {
        try {
            options.args = nlohmann::json::parse(argv[optind + 1]);
        } catch (const nlohmann::json::exception& e) {
            std::cerr << "vek-request: arguments are not valid JSON: " << e.what() << "\n";
            return false;
        }
    }
    return true;
}

// Unique among concurrent requests: host, process, time and a counter.
std::string freshJobId()
{
    static unsigned counter = 0;
    char host[64] = "";
    gethostname(host, sizeof host - 1);
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    std::string id = "req-" + std::string(host) + "-" + std::to_string(getpid()) + "-" + std::to_string(now) +
                     "-" + std::to_string(++counter);
    // The id is one topic level: no separators or wildcards in it.
    for (char& c : id)
        if (c == '/' || c == '+' || c == '#')
            c = '_';
    return id;
}

// The reason of a failure result, the two-entry map {"status": false, "reason": str}; nothing
// for any other answer.
std::optional<std::string> failureReason(const std::string& answer)
{
    if (answer.empty() || static_cast<unsigned char>(answer[0]) != 0x82)
        return std::nullopt;
    try {
        const nlohmann::json map = nlohmann::json::from_msgpack(answer);
        if (map.size() == 2 && map.contains("status") && map["status"] == false && map.contains("reason") &&
            map["reason"].is_string())
            return map["reason"].get<std::string>();
    } catch (const nlohmann::json::exception&) {
    }
    return std::nullopt;
}

// Runs the network loop until done() or the deadline; false on the deadline or a lost connection.
template <typename Done>
bool runUntil(mosquitto* mosq, Clock::time_point deadline, Done done)
{
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        const int rc = mosquitto_loop(mosq, static_cast<int>(left < 100 ? left : 100), 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            std::cerr << "vek-request: " << mosquitto_strerror(rc) << "\n";
            return false;
        }
    }
    return true;
}

void onConnect(mosquitto*, void* obj, int rc) { static_cast<Session*>(obj)->connack = rc; }

void onSubscribe(mosquitto*, void* obj, int mid, int, const int*)
{
    auto* session = static_cast<Session*>(obj);
    if (mid == session->subscribe_mid)
        session->subscribed = true;
}

void onPublish(mosquitto*, void* obj, int mid)
{
    auto* session = static_cast<Session*>(obj);
    try {
        session->completed.push_back(mid);
    } catch (...) {
        session->failed_alloc = true;
    }
}

void onMessage(mosquitto*, void* obj, const mosquitto_message* message)
{
    auto* session = static_cast<Session*>(obj);
    if (session->answer || !message->topic || session->result_topic != message->topic)
        return;
    try {
        session->answer.emplace(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
    } catch (...) {
        session->failed_alloc = true;
    }
}

bool completed(const Session& session, int mid)
{
    for (int m : session.completed)
        if (m == mid)
            return true;
    return false;
}

int run(const Options& options)
{
    const std::string job_id = freshJobId();
    const std::string request_topic = "in/cmd/" + job_id;
    Session session;
    session.result_topic = "out/cmd/" + job_id;

    std::vector<std::uint8_t> request;
    try {
        request = nlohmann::json::to_msgpack(nlohmann::json{{"lua_script", options.script}, {"args", options.args}});
    } catch (const nlohmann::json::exception& e) {
        std::cerr << "vek-request: cannot encode the request: " << e.what() << "\n";
        return kExitNoAnswer;
    }

    Mosquitto mosq(mosquitto_new(nullptr, true, &session));
    if (!mosq) {
        std::cerr << "vek-request: cannot create an MQTT client\n";
        return kExitNoAnswer;
    }
    mosquitto_int_option(mosq.get(), MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq.get(), &onConnect);
    mosquitto_subscribe_callback_set(mosq.get(), &onSubscribe);
    mosquitto_publish_callback_set(mosq.get(), &onPublish);
    mosquitto_message_callback_set(mosq.get(), &onMessage);

    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.timeout_s));
    int rc = mosquitto_connect(mosq.get(), options.host.c_str(), options.port, 60);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::cerr << "vek-request: cannot connect to " << options.host << ":" << options.port << ": "
                  << (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)) << "\n";
        return kExitNoAnswer;
    }
    if (!runUntil(mosq.get(), deadline, [&] { return session.connack >= 0; }) || session.connack != 0) {
        std::cerr << "vek-request: the broker did not accept the connection"
                  << (session.connack > 0 ? std::string(": ") + mosquitto_connack_string(session.connack) : "")
                  << "\n";
        return kExitNoAnswer;
    }
    // Subscribed before the request goes out, so the answer cannot be missed.
    rc = mosquitto_subscribe(mosq.get(), &session.subscribe_mid, session.result_topic.c_str(), 2);
    if (rc != MOSQ_ERR_SUCCESS || !runUntil(mosq.get(), deadline, [&] { return session.subscribed; })) {
        std::cerr << "vek-request: cannot subscribe to " << session.result_topic << "\n";
        return kExitNoAnswer;
    }
    rc = mosquitto_publish(mosq.get(), nullptr, request_topic.c_str(), static_cast<int>(request.size()),
                           request.data(), 2, false);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::cerr << "vek-request: cannot publish the request: " << mosquitto_strerror(rc) << "\n";
        return kExitNoAnswer;
    }
    const bool answered = runUntil(mosq.get(), deadline, [&] { return session.answer.has_value(); });

    // Ended also after a time-out: a job that finishes later then leaves no retained result.
    int end_mid = -1;
    rc = mosquitto_publish(mosq.get(), &end_mid, request_topic.c_str(), 0, nullptr, 2, false);
    if (rc == MOSQ_ERR_SUCCESS &&
        !runUntil(mosq.get(), Clock::now() + std::chrono::seconds(2), [&] { return completed(session, end_mid); }))
        std::cerr << "vek-request: the end of the transaction was not confirmed\n";
    mosquitto_disconnect(mosq.get());

    if (session.failed_alloc) {
        std::cerr << "vek-request: out of memory\n";
        return kExitNoAnswer;
    }
    if (!answered) {
        std::cerr << "vek-request: no answer on " << session.result_topic << " within " << options.timeout_s
                  << " s\n";
        return kExitNoAnswer;
    }
    if (const auto reason = failureReason(*session.answer)) {
        std::cerr << "failed: " << *reason << "\n";
        return kExitJobFailed;
    }
    std::cout.write(session.answer->data(), static_cast<std::streamsize>(session.answer->size()));
    std::cout << "\n" << std::flush;
    return std::cout ? kExitAnswer : kExitNoAnswer;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseArguments(argc, argv, options)) {
        std::cerr << kUsage;
        return kExitNoAnswer;
    }
    mosquitto_lib_init();
    int status;
    try {
        status = run(options);
    } catch (const std::exception& e) {
        std::cerr << "vek-request: " << e.what() << "\n";
        status = kExitNoAnswer;
    }
    mosquitto_lib_cleanup();
    return status;
}
