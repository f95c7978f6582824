// vek-request: sends one command request to the command service, or the same request to the
// command services of several docks through a fleet broker, and prints the answers.
//
//   vek-request [options] SCRIPT [ARGS-AS-JSON]
//
// The JSON arguments travel as MessagePack under "args" (nil when none are given).
//
// Without --dock or --prefix the request goes to in/cmd/<job id> and the answer is printed as it
// came, followed by a newline; a failure result is printed as "failed: <reason>" on the standard
// error stream. Exit status: 0 answer, 1 job failure, 2 usage error, no connection or no answer.
//
// With --dock ID (docks/ID/ before every topic) or --prefix TEXT (TEXT before every topic), each
// given as often as there are docks, the same request goes to each dock and one line per dock is
// printed in the order given: "<dock> ok <answer>" or "<dock> failed <reason>", the answer with
// control bytes and "\" escaped so that it stays on its line. Exit status: 0 when every dock
// answered successfully, 1 when every dock answered and a job failed, 2 when a dock did not
// answer in time, or on a usage or connection error.
//
// The request is published retained, so that a service or a dock broker that is reconnecting
// still finds it; every transaction is then ended with an empty retained message on its request
// topic (also after a time-out or an interrupt), which ends the job at the service and clears the
// retained request and result.
//
// A password is never taken from the command line, where every user of the machine can read it:
// --password-file names a file that holds it, or the environment variable VEK_REQUEST_PASSWORD
// carries it.

#include <unistd.h>
#include <getopt.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include "common/c_handle.h"
#include "common/error_text.h"
#include "common/secret_file.h"

namespace {

using Clock = std::chrono::steady_clock;
using Mosquitto = CHandle<mosquitto, mosquitto_destroy>;

constexpr int kExitAnswer = 0;
constexpr int kExitJobFailed = 1;
constexpr int kExitNoAnswer = 2;

constexpr const char* kPasswordVariable = "VEK_REQUEST_PASSWORD";

const char* const kUsage =
    "usage: vek-request [options] SCRIPT [ARGS-AS-JSON]\n"
    "  -H, --host HOST       broker host (default localhost)\n"
    "  -p, --port PORT       broker port (default 1883, 8883 with --cafile)\n"
    "  -t, --timeout SECONDS how long to wait for the answers (default 10)\n"
    "  -q, --qos 1|2         QoS of requests, ends and the result subscription (default 2)\n"
    "  -d, --dock ID         send to the dock ID: docks/ID/ before every topic; repeatable\n"
    "      --prefix TEXT     send to the dock whose topics start with TEXT; repeatable\n"
    "      --cafile FILE     connect with TLS, trusting the CA certificates in FILE\n"
    "      --cert FILE       client certificate for TLS (with --key)\n"
    "      --key FILE        private key of the client certificate\n"
    "  -u, --username NAME   user name at the broker\n"
    "      --password-file FILE  the password at the broker, read from FILE (with --username);\n"
    "                        otherwise taken from VEK_REQUEST_PASSWORD when that is set\n"
    "  SCRIPT                job script name, without \".lua\"\n"
    "  ARGS                  the job's arguments as JSON (default: none, nil in Lua)\n"
    "With docks, one line per dock: \"<dock> ok <answer>\" or \"<dock> failed <reason>\".\n";

/// One dock the request goes to: the text that starts its topics and the name it is shown by.
struct Target {
    std::string label;
    std::string prefix;
};

struct Options {
    std::string host = "localhost";
    int port = -1; // chosen from the TLS setting when not given
    double timeout_s = 10;
    int qos = 2;
    std::vector<Target> targets; // empty: the local service, without a prefix
    std::string cafile, cert, key;
    std::optional<std::string> username, password;
    std::string password_file;
    std::string script;
    nlohmann::json args; // null unless given
};

/// What is known about one dock's transaction; filled by the callbacks.
struct Transaction {
    Target target;
    std::string request_topic;
    std::string result_topic;
    std::optional<std::string> answer;
    int end_mid = -1;
};

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
};

volatile sig_atomic_t interrupted = 0;

void onSignal(int) { interrupted = 1; }

bool parseNumber(const char* text, double& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0';
}

bool hasWildcard(const std::string& text) { return text.find_first_of("+#") != std::string::npos; }

// The password of the login, from --password-file or else the environment; false after a message.
bool readPassword(Options& options)
{
    if (!options.password_file.empty()) {
        try {
            options.password = vek::readSecretFile(options.password_file);
        } catch (const std::exception& e) {
            std::cerr << "vek-request: " << e.what() << "\n";
            return false;
        }
    } else if (const char* env = std::getenv(kPasswordVariable)) {
        options.password = env;
    }
    return true;
}

// The broker is this machine: a password sent to it in plain text does not cross a network.
bool isLoopback(const std::string& host)
{
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// Fills options from argv; false (after a message) on a usage error.
bool parseArguments(int argc, char** argv, Options& options)
{
    enum { kPrefix = 1000, kCafile, kCert, kKey, kPasswordFile };
    static const option kLong[] = {
        {"host", required_argument, nullptr, 'H'},     {"port", required_argument, nullptr, 'p'},
        {"timeout", required_argument, nullptr, 't'},  {"dock", required_argument, nullptr, 'd'},
        {"qos", required_argument, nullptr, 'q'},
        {"prefix", required_argument, nullptr, kPrefix}, {"cafile", required_argument, nullptr, kCafile},
        {"cert", required_argument, nullptr, kCert},   {"key", required_argument, nullptr, kKey},
        {"username", required_argument, nullptr, 'u'}, {"password-file", required_argument, nullptr, kPasswordFile},
        {"help", no_argument, nullptr, 'h'},           {nullptr, 0, nullptr, 0},
    };
    int opt;
    double number;
    std::set<std::string> prefixes;
    opterr = 0;
    while ((opt = getopt_long(argc, argv, "+H:p:t:q:d:u:h", kLong, nullptr)) != -1) {
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
        case 'q':
            // QoS 0 could lose the request or its end without anybody noticing.
            if (std::strcmp(optarg, "1") != 0 && std::strcmp(optarg, "2") != 0) {
                std::cerr << "vek-request: invalid QoS \"" << optarg << "\" (1 or 2)\n";
                return false;
            }
            options.qos = optarg[0] - '0';
            break;
        case 'd':
        case kPrefix: {
            const std::string text = optarg;
            // A dock id is one topic level; a wildcard would make the topics those of other docks.
            const bool bad = opt == 'd' ? text.empty() || text.find('/') != std::string::npos || hasWildcard(text)
                                        : text.empty() || hasWildcard(text);
            if (bad) {
                std::cerr << "vek-request: invalid " << (opt == 'd' ? "dock id" : "prefix") << " \"" << text
                          << "\"\n";
                return false;
            }
            Target target{text, opt == 'd' ? "docks/" + text + "/" : text};
            if (!prefixes.insert(target.prefix).second) {
                std::cerr << "vek-request: dock \"" << text << "\" given twice\n";
                return false;
            }
            options.targets.push_back(std::move(target));
            break;
        }
        case kCafile:
            options.cafile = optarg;
            break;
        case kCert:
            options.cert = optarg;
            break;
        case kKey:
            options.key = optarg;
            break;
        case 'u':
            options.username = optarg;
            break;
        case kPasswordFile:
            options.password_file = optarg;
            break;
        default:
            return false;
        }
    }
    if (options.cert.empty() != options.key.empty()) {
        std::cerr << "vek-request: --cert and --key go together\n";
        return false;
    }
    if (!options.cert.empty() && options.cafile.empty()) {
        std::cerr << "vek-request: a client certificate needs --cafile\n";
        return false;
    }
    if (!options.password_file.empty() && !options.username) {
        std::cerr << "vek-request: --password-file needs --username\n";
        return false;
    }
    if (options.port < 0)
        options.port = options.cafile.empty() ? 1883 : 8883;
    if (options.username && !readPassword(options))
        return false;
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

// The library's text for a failed call, or the system's when the library says "see errno".
std::string mosquittoError(int rc)
{
    return rc == MOSQ_ERR_ERRNO ? vek::errorText(errno) : mosquitto_strerror(rc);
}

// The text on one line: control bytes and the backslash written as escapes, the rest as it is.
std::string oneLine(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20 || byte == 0x7f) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", byte);
                out += hex;
            } else {
                out += c;
            }
        }
    }
    return out;
}

// The answer as a terminal should show it: control bytes other than the line break and the tab
// written as \xNN, so that an answer cannot move the cursor, retitle the window or reprogram the
// terminal.
std::string forTerminal(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

enum class Wait { Done, Deadline, Failed };

// Runs the network loop until done(), the deadline, an interrupt (unless ignored) or a lost
// connection.
template <typename Done>
Wait runUntil(mosquitto* mosq, Clock::time_point deadline, Done done, bool ignoreInterrupt = false)
{
    while (!done()) {
        if (interrupted && !ignoreInterrupt)
            return Wait::Deadline;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return Wait::Deadline;
        const int rc = mosquitto_loop(mosq, static_cast<int>(left < 100 ? left : 100), 1);
        if (rc != MOSQ_ERR_SUCCESS && !(rc == MOSQ_ERR_ERRNO && errno == EINTR)) {
            std::cerr << "vek-request: " << mosquittoError(rc) << "\n";
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

void onMessage(mosquitto*, void* obj, const mosquitto_message* message)
{
    auto* session = static_cast<Session*>(obj);
    if (!message->topic)
        return;
    try {
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

// Sets TLS and the login on the client; false after a message.
bool configureClient(mosquitto* mosq, const Options& options)
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
            std::cerr << "vek-request: TLS set-up: " << mosquittoError(rc) << "\n";
            return false;
        }
    } else if (options.password && !isLoopback(options.host)) {
        std::cerr << "vek-request: warning: the password goes to " << options.host
                  << " in plain text (no --cafile, so no TLS)\n";
    }
    if (options.username) {
        rc = mosquitto_username_pw_set(mosq, options.username->c_str(),
                                       options.password ? options.password->c_str() : nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            std::cerr << "vek-request: user name: " << mosquitto_strerror(rc) << "\n";
            return false;
        }
    }
    return true;
}

// Ends every transaction whose request went out: an empty retained message on its request topic.
void endTransactions(mosquitto* mosq, Session& session, size_t published, int qos)
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
    if (runUntil(mosq, Clock::now() + std::chrono::seconds(5), allEnded, true) != Wait::Done || !allEnded())
        std::cerr << "vek-request: the end of a transaction was not confirmed\n";
}

int report(const Options& options, const Session& session, bool lost)
{
    if (options.targets.empty()) {
        const Transaction& t = session.transactions.front();
        if (!t.answer) {
            if (lost)
                std::cerr << "vek-request: the connection was lost before the answer came\n";
            else
                std::cerr << "vek-request: no answer on " << t.result_topic << " within " << options.timeout_s
                          << " s\n";
            return kExitNoAnswer;
        }
        if (const auto reason = failureReason(*t.answer)) {
            std::cerr << "failed: " << (isatty(STDERR_FILENO) ? forTerminal(*reason) : *reason) << "\n";
            return kExitJobFailed;
        }
        // As it came when it goes to a file or a pipe, where the exact bytes are wanted.
        const std::string shown = isatty(STDOUT_FILENO) ? forTerminal(*t.answer) : *t.answer;
        std::cout.write(shown.data(), static_cast<std::streamsize>(shown.size()));
        std::cout << "\n" << std::flush;
        return std::cout ? kExitAnswer : kExitNoAnswer;
    }

    int status = kExitAnswer;
    for (const Transaction& t : session.transactions) {
        std::cout << t.target.label << " ";
        if (!t.answer) {
            if (interrupted)
                std::cout << "failed interrupted\n";
            else if (lost)
                std::cout << "failed connection to the broker lost\n";
            else
                std::cout << "failed no answer within " << options.timeout_s << " s\n";
            status = kExitNoAnswer;
        } else if (const auto reason = failureReason(*t.answer)) {
            std::cout << "failed " << oneLine(*reason) << "\n";
            if (status == kExitAnswer)
                status = kExitJobFailed;
        } else {
            std::cout << "ok " << oneLine(*t.answer) << "\n";
        }
    }
    std::cout << std::flush;
    return std::cout ? status : kExitNoAnswer;
}

int run(const Options& options)
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
    if (!configureClient(mosq.get(), options))
        return kExitNoAnswer;

    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.timeout_s));
    int rc = mosquitto_connect(mosq.get(), options.host.c_str(), options.port, 60);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::cerr << "vek-request: cannot connect to " << options.host << ":" << options.port << ": "
                  << mosquittoError(rc) << "\n";
        return kExitNoAnswer;
    }
    if (runUntil(mosq.get(), deadline, [&] { return session.connack >= 0; }) != Wait::Done || session.connack != 0) {
        std::cerr << "vek-request: the broker did not accept the connection"
                  << (session.connack > 0 ? std::string(": ") + mosquitto_connack_string(session.connack) : "")
                  << "\n";
        return kExitNoAnswer;
    }
    // Subscribed to every result topic before a request goes out, so no answer can be missed.
    std::vector<char*> filters;
    for (Transaction& t : session.transactions)
        filters.push_back(t.result_topic.data());
    rc = mosquitto_subscribe_multiple(mosq.get(), &session.subscribe_mid, static_cast<int>(filters.size()),
                                      filters.data(), options.qos, 0, nullptr);
    if (rc != MOSQ_ERR_SUCCESS ||
        runUntil(mosq.get(), deadline, [&] { return session.subscribed; }) != Wait::Done ||
        session.subscription_refused) {
        std::cerr << "vek-request: cannot subscribe to the result topic" << (filters.size() > 1 ? "s" : "") << "\n";
        return kExitNoAnswer;
    }
    size_t published = 0;
    for (Transaction& t : session.transactions) {
        rc = mosquitto_publish(mosq.get(), nullptr, t.request_topic.c_str(), static_cast<int>(request.size()),
                               request.data(), options.qos, true);
        if (rc != MOSQ_ERR_SUCCESS) {
            std::cerr << "vek-request: cannot publish on " << t.request_topic << ": " << mosquitto_strerror(rc)
                      << "\n";
            break;
        }
        ++published;
    }
    Wait answers = Wait::Done;
    if (published == session.transactions.size())
        answers = runUntil(mosq.get(), deadline, [&] { return session.answered == session.transactions.size(); });
    if (interrupted)
        std::cerr << "vek-request: interrupted\n";
    if (answers == Wait::Failed) {
        // The retained requests would stay at the broker and run again and again: connect once
        // more to end the transactions.
        session.connack = -1;
        if (mosquitto_reconnect(mosq.get()) != MOSQ_ERR_SUCCESS ||
            runUntil(mosq.get(), Clock::now() + std::chrono::seconds(5), [&] { return session.connack >= 0; },
                     true) != Wait::Done ||
            session.connack != 0)
            std::cerr << "vek-request: cannot connect again to end the transactions\n";
    }

    // Ended also after a time-out: a job that finishes later then leaves no retained result.
    endTransactions(mosq.get(), session, published, options.qos);
    mosquitto_disconnect(mosq.get());

    if (session.failed_alloc) {
        std::cerr << "vek-request: out of memory\n";
        return kExitNoAnswer;
    }
    if (published < session.transactions.size())
        return kExitNoAnswer;
    return report(options, session, answers == Wait::Failed);
}

void catchStopSignals()
{
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a signal ends the wait in the network loop at once.
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseArguments(argc, argv, options)) {
        std::cerr << kUsage;
        return kExitNoAnswer;
    }
    catchStopSignals();
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
