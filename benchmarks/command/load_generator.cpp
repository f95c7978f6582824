// load_generator: sends N command requests with a fixed number in flight, matches the results by
// job id and reports throughput and latency. Each result is followed by the end of its transaction
// (an empty message on the request topic), as the server would send it.
//
//   load_generator [-H host] [-p port] [-n requests] [-c in_flight] [-w warm_up] [-s script]
//                  [-m msg] [-t timeout_s]
//
// The request is {"lua_script": script, "args": {"msg": msg}}; every answer must equal msg.
// Before measuring it waits for the responder to answer a probe, then runs the warm-up requests.
// Prints one line: "jobs=.. in_flight=.. seconds=.. jobs_per_s=.. p50_us=.. p99_us=.. max_us=..".
// Exit status 0 when every request was answered correctly in time.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include <mosquitto.h>
#include <msgpack.hpp>

#include "benchmarks/echo_request.h"
#include "common/c_handle.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Generator {
    mosquitto* mosq = nullptr;
    std::string run_id;
    std::string request;  // packed once, sent for every job
    std::string expected; // every answer must be this
    unsigned long next_seq = 0;
    unsigned long to_send = 0; // requests of the current phase not sent yet
    unsigned long answered = 0;
    unsigned long wrong = 0;
    int subscribe_mid = -1;
    bool subscribed = false;
    bool connected = false;
    bool failed = false;
    std::unordered_map<std::string, Clock::time_point> in_flight; // job id -> time sent
    std::vector<double> latencies_us;
    bool recording = false;
};

void sendRequest(Generator& g)
{
    const std::string id = g.run_id + std::to_string(g.next_seq++);
    const std::string topic = "in/cmd/" + id;
    g.in_flight.emplace(id, Clock::now());
    if (mosquitto_publish(g.mosq, nullptr, topic.c_str(), static_cast<int>(g.request.size()), g.request.data(), 1,
                          false) != MOSQ_ERR_SUCCESS)
        g.failed = true;
    --g.to_send;
}

void onConnect(mosquitto* mosq, void* obj, int rc)
{
    auto* g = static_cast<Generator*>(obj);
    g->connected = rc == 0;
    if (rc != 0 || mosquitto_subscribe(mosq, &g->subscribe_mid, "out/cmd/+", 1) != MOSQ_ERR_SUCCESS)
        g->failed = true;
}

void onSubscribe(mosquitto*, void* obj, int mid, int, const int*)
{
    auto* g = static_cast<Generator*>(obj);
    if (mid == g->subscribe_mid)
        g->subscribed = true;
}

void onMessage(mosquitto*, void* obj, const mosquitto_message* m)
{
    auto* g = static_cast<Generator*>(obj);
    const auto now = Clock::now();
    // Empty messages are the responder's ends of transactions.
    if (m->payloadlen == 0)
        return;
    try {
        const std::string id(m->topic + std::strlen("out/cmd/"));
        const auto it = g->in_flight.find(id);
        if (it == g->in_flight.end())
            return; // not ours, or a retained result of an earlier run
        if (g->recording)
            g->latencies_us.push_back(std::chrono::duration<double, std::micro>(now - it->second).count());
        g->in_flight.erase(it);
        ++g->answered;
        if (std::string(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen)) != g->expected)
            ++g->wrong;
        const std::string request_topic = "in/cmd/" + id;
        mosquitto_publish(g->mosq, nullptr, request_topic.c_str(), 0, nullptr, 1, false);
        if (g->to_send > 0)
            sendRequest(*g);
    } catch (...) {
        g->failed = true;
    }
}

// Runs the network loop until done() holds; false on failure or at the deadline.
template <typename Done>
bool runUntil(Generator& g, Clock::time_point deadline, Done done)
{
    while (!done()) {
        if (g.failed || Clock::now() >= deadline)
            return false;
        const int rc = mosquitto_loop(g.mosq, 100, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            std::fprintf(stderr, "load_generator: %s\n", mosquitto_strerror(rc));
            return false;
        }
    }
    return true;
}

// Sends `count` requests, at most `window` in flight, and waits for all the answers.
bool runPhase(Generator& g, unsigned long count, unsigned window, Clock::time_point deadline)
{
    g.answered = 0;
    g.to_send = count;
    for (unsigned i = 0; i < window && g.to_send > 0; ++i)
        sendRequest(g);
    return runUntil(g, deadline, [&] { return g.answered == count; });
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
    return values[index];
}

} // namespace

int main(int argc, char** argv)
{
    std::string host = "127.0.0.1";
    int port = 1883;
    unsigned long requests = 2000;
    unsigned window = 1;
    unsigned long warm_up = 200;
    std::string script = "bench";
    std::string msg = "hello";
    double timeout_s = 120;
    int opt;
    while ((opt = getopt(argc, argv, "H:p:n:c:w:s:m:t:")) != -1) {
        switch (opt) {
        case 'H': host = optarg; break;
        case 'p': port = std::atoi(optarg); break;
        case 'n': requests = std::strtoul(optarg, nullptr, 10); break;
        case 'c': window = static_cast<unsigned>(std::strtoul(optarg, nullptr, 10)); break;
        case 'w': warm_up = std::strtoul(optarg, nullptr, 10); break;
        case 's': script = optarg; break;
        case 'm': msg = optarg; break;
        case 't': timeout_s = std::atof(optarg); break;
        default:
            std::fprintf(stderr,
                         "usage: load_generator [-H host] [-p port] [-n requests] [-c in_flight] "
                         "[-w warm_up] [-s script] [-m msg] [-t timeout_s]\n");
            return 2;
        }
    }
    if (requests == 0 || window == 0) {
        std::fprintf(stderr, "load_generator: -n and -c must be at least 1\n");
        return 2;
    }

    Generator g;
    g.run_id = "lg" + std::to_string(getpid()) + "-";
    g.expected = msg;
    g.request = echoRequest(script, msg);

    mosquitto_lib_init();
    int status = 1;
    {
        vek::CHandle<mosquitto, mosquitto_destroy> mosq(mosquitto_new(nullptr, true, &g));
        g.mosq = mosq.get();
        mosquitto_int_option(g.mosq, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_connect_callback_set(g.mosq, onConnect);
        mosquitto_subscribe_callback_set(g.mosq, onSubscribe);
        mosquitto_message_callback_set(g.mosq, onMessage);
        const auto deadline =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_s));
        bool ok = mosquitto_connect(g.mosq, host.c_str(), port, 60) == MOSQ_ERR_SUCCESS &&
            runUntil(g, deadline, [&] { return g.subscribed; });
        // The responder may still be starting: probe until one request is answered. A probe that
        // was lost stays in in_flight and is simply never matched.
        while (ok && g.answered == 0) {
            g.to_send = 1;
            sendRequest(g);
            runUntil(g, std::min(deadline, Clock::now() + std::chrono::milliseconds(200)),
                     [&] { return g.answered > 0; });
            ok = !g.failed && Clock::now() < deadline;
        }
        if (ok && warm_up > 0)
            ok = runPhase(g, warm_up, window, deadline);
        g.in_flight.clear();
        g.recording = true;
        g.latencies_us.reserve(requests);
        const auto start = Clock::now();
        ok = ok && runPhase(g, requests, window, deadline);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        // Let the last ends of transactions leave.
        runUntil(g, Clock::now() + std::chrono::milliseconds(200), [] { return false; });
        if (!ok) {
            std::fprintf(stderr, "load_generator: %lu of %lu answered before failure or time-out\n", g.answered,
                         requests);
        } else if (g.wrong > 0) {
            std::fprintf(stderr, "load_generator: %lu answers differed from \"%s\"\n", g.wrong, msg.c_str());
        } else {
            std::printf("jobs=%lu in_flight=%u seconds=%.3f jobs_per_s=%.0f p50_us=%.0f p99_us=%.0f max_us=%.0f\n",
                        requests, window, seconds, static_cast<double>(requests) / seconds,
                        percentile(g.latencies_us, 0.50), percentile(g.latencies_us, 0.99),
                        percentile(g.latencies_us, 1.0));
            status = 0;
        }
    }
    mosquitto_lib_cleanup();
    return status;
}
