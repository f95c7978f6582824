// fan_out: sends one job to many docks at once, as vek-request does, for a number of rounds, and
// reports how long the last answer of a round took and the latency of each dock's answer.
//
//   fan_out [-H host] [-p port] [--cafile F --cert F --key F] [-n rounds] [-s script] [-m msg]
//           [-t timeout_s] PREFIX...
//
// Each PREFIX (for example "docks/A/", or "" for a dock's own broker) stands for one dock. A round
// publishes {"lua_script": script, "args": {"msg": msg}} retained on PREFIXin/cmd/<id> for every
// dock, waits until every dock answered with msg, then ends every transaction and waits for those
// to complete before the next round. One warm-up round is not counted.
// Prints one line: "docks=.. rounds=.. last_p50_ms=.. last_max_ms=.. dock_p50_ms=.. dock_p99_ms=..".
// Exit status 0 when every answer was right and in time.

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <mosquitto.h>
#include <msgpack.hpp>

#include "benchmarks/echo_request.h"
#include "common/c_handle.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Fan {
    std::vector<std::string> prefixes;
    std::string request, expected;
    std::map<std::string, size_t> pending; // result topic -> dock
    Clock::time_point sent;
    std::vector<double> dock_ms, last_ms;
    std::set<int> completed;
    int subscribe_mid = -1;
    bool subscribed = false, connected = false, wrong = false, recording = false;
    double round_last = 0;
};

void onConnect(mosquitto*, void* obj, int rc) { static_cast<Fan*>(obj)->connected = rc == 0; }
void onSubscribe(mosquitto*, void* obj, int mid, int, const int*)
{
    auto* f = static_cast<Fan*>(obj);
    f->subscribed = f->subscribed || mid == f->subscribe_mid;
}
void onPublish(mosquitto*, void* obj, int mid) { static_cast<Fan*>(obj)->completed.insert(mid); }
void onMessage(mosquitto*, void* obj, const mosquitto_message* m)
{
    auto* f = static_cast<Fan*>(obj);
    const auto it = f->pending.find(m->topic);
    if (it == f->pending.end() || m->payloadlen == 0)
        return;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - f->sent).count();
    if (std::string(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen)) != f->expected)
        f->wrong = true;
    if (f->recording)
        f->dock_ms.push_back(ms);
    f->round_last = std::max(f->round_last, ms);
    f->pending.erase(it);
}

template <typename Done>
bool runUntil(mosquitto* mosq, Clock::time_point deadline, Done done)
{
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        if (mosquitto_loop(mosq, 10, 1) != MOSQ_ERR_SUCCESS)
            return false;
    }
    return true;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    return v[i];
}

} // namespace

int main(int argc, char** argv)
{
    std::string host = "127.0.0.1", cafile, cert, key, script = "bench", msg = "hello", username;
    int port = 1883, rounds = 20;
    double timeout_s = 30;
    static const option kLong[] = {{"cafile", required_argument, nullptr, 1},
                                   {"cert", required_argument, nullptr, 2},
                                   {"key", required_argument, nullptr, 3},
                                   {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "H:p:n:s:m:t:u:", kLong, nullptr)) != -1) {
        switch (opt) {
        case 'H': host = optarg; break;
        case 'p': port = std::atoi(optarg); break;
        case 'n': rounds = std::atoi(optarg); break;
        case 's': script = optarg; break;
        case 'm': msg = optarg; break;
        case 't': timeout_s = std::atof(optarg); break;
        case 'u': username = optarg; break;
        case 1: cafile = optarg; break;
        case 2: cert = optarg; break;
        case 3: key = optarg; break;
        default: std::fprintf(stderr, "fan_out: bad option\n"); return 2;
        }
    }
    Fan fan;
    for (int i = optind; i < argc; ++i)
        fan.prefixes.push_back(argv[i]);
    if (fan.prefixes.empty() || rounds < 1) {
        std::fprintf(stderr,
                     "usage: fan_out [-H host] [-p port] [--cafile F --cert F --key F] [-u user] [-n rounds] "
                     "PREFIX...\n(the password of -u from VEK_REQUEST_PASSWORD)\n");
        return 2;
    }
    fan.request = echoRequest(script, msg);
    fan.expected = msg;

    mosquitto_lib_init();
    vek::CHandle<mosquitto, mosquitto_destroy> mosq(mosquitto_new(nullptr, true, &fan));
    if (!mosq)
        return 2;
    mosquitto_int_option(mosq.get(), MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq.get(), onConnect);
    mosquitto_subscribe_callback_set(mosq.get(), onSubscribe);
    mosquitto_publish_callback_set(mosq.get(), onPublish);
    mosquitto_message_callback_set(mosq.get(), onMessage);
    if (!cafile.empty() &&
        mosquitto_tls_set(mosq.get(), cafile.c_str(), nullptr, cert.empty() ? nullptr : cert.c_str(),
                          key.empty() ? nullptr : key.c_str(), nullptr) != MOSQ_ERR_SUCCESS)
        return 2;
    if (!username.empty() &&
        mosquitto_username_pw_set(mosq.get(), username.c_str(), std::getenv("VEK_REQUEST_PASSWORD")) !=
            MOSQ_ERR_SUCCESS)
        return 2;
    const auto limit = [&] { return Clock::now() + std::chrono::milliseconds(static_cast<long>(timeout_s * 1000)); };
    if (mosquitto_connect(mosq.get(), host.c_str(), port, 60) != MOSQ_ERR_SUCCESS ||
        !runUntil(mosq.get(), limit(), [&] { return fan.connected; })) {
        std::fprintf(stderr, "fan_out: cannot connect to %s:%d\n", host.c_str(), port);
        return 2;
    }
    std::vector<std::string> filters;
    for (const auto& p : fan.prefixes)
        filters.push_back(p + "out/cmd/+");
    std::vector<char*> filter_ptrs;
    for (auto& f : filters)
        filter_ptrs.push_back(f.data());
    if (mosquitto_subscribe_multiple(mosq.get(), &fan.subscribe_mid, static_cast<int>(filter_ptrs.size()),
                                     filter_ptrs.data(), 2, 0, nullptr) != MOSQ_ERR_SUCCESS ||
        !runUntil(mosq.get(), limit(), [&] { return fan.subscribed; }))
        return 2;

    const std::string run_id = "fan-" + std::to_string(getpid()) + "-";
    for (int round = 0; round <= rounds; ++round) {
        fan.recording = round > 0;
        fan.round_last = 0;
        const std::string job = run_id + std::to_string(round);
        fan.sent = Clock::now();
        for (size_t d = 0; d < fan.prefixes.size(); ++d) {
            fan.pending[fan.prefixes[d] + "out/cmd/" + job] = d;
            const std::string topic = fan.prefixes[d] + "in/cmd/" + job;
            mosquitto_publish(mosq.get(), nullptr, topic.c_str(), static_cast<int>(fan.request.size()),
                              fan.request.data(), 2, true);
        }
        if (!runUntil(mosq.get(), limit(), [&] { return fan.pending.empty(); })) {
            std::fprintf(stderr, "fan_out: round %d: %zu of %zu docks did not answer\n", round, fan.pending.size(),
                         fan.prefixes.size());
            return 2;
        }
        if (fan.recording)
            fan.last_ms.push_back(fan.round_last);
        std::vector<int> ends;
        for (const auto& p : fan.prefixes) {
            int mid = -1;
            const std::string topic = p + "in/cmd/" + job;
            mosquitto_publish(mosq.get(), &mid, topic.c_str(), 0, nullptr, 2, true);
            ends.push_back(mid);
        }
        if (!runUntil(mosq.get(), limit(), [&] {
                return std::all_of(ends.begin(), ends.end(), [&](int mid) { return fan.completed.count(mid) > 0; });
            }))
            return 2;
    }
    mosquitto_disconnect(mosq.get());
    mosquitto_lib_cleanup();
    std::printf("docks=%zu rounds=%d last_p50_ms=%.1f last_max_ms=%.1f dock_p50_ms=%.1f dock_p99_ms=%.1f\n",
                fan.prefixes.size(), rounds, percentile(fan.last_ms, 0.5),
                *std::max_element(fan.last_ms.begin(), fan.last_ms.end()), percentile(fan.dock_ms, 0.5),
                percentile(fan.dock_ms, 0.99));
    return fan.wrong ? 1 : 0;
}
