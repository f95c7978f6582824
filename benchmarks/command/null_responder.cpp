// null_responder: the cheapest possible command service, as the yardstick of the benchmark. It
// answers every request on "in/cmd/+" at once with a fixed payload on "out/cmd/<id>" (QoS 2,
// retained), and an empty request (end of transaction) with an empty retained message, like the
// real service. Nothing is decoded and no Lua runs.
//
//   null_responder [-H host] [-p port] [-a answer]
//
// Prints "ready" once subscribed; runs until SIGINT or SIGTERM.

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <mosquitto.h>

#include "common/c_handle.h"

namespace {

volatile sig_atomic_t running = 1;

void stop(int) { running = 0; }

struct Responder {
    std::string answer = "hello";
    int subscribe_mid = -1;
    bool ready = false;
    bool failed = false;
    std::string topic; // reused for every answer
};

void onConnect(mosquitto* mosq, void* obj, int rc)
{
    auto* r = static_cast<Responder*>(obj);
    if (rc != 0 || mosquitto_subscribe(mosq, &r->subscribe_mid, "in/cmd/+", 1) != MOSQ_ERR_SUCCESS)
        r->failed = true;
}

void onSubscribe(mosquitto*, void* obj, int mid, int, const int*)
{
    auto* r = static_cast<Responder*>(obj);
    if (mid == r->subscribe_mid && !r->ready) {
        r->ready = true;
        std::printf("ready\n");
        std::fflush(stdout);
    }
}

void onMessage(mosquitto* mosq, void* obj, const mosquitto_message* m)
{
    auto* r = static_cast<Responder*>(obj);
    static const size_t prefix = std::strlen("in/cmd/");
    const size_t length = std::strlen(m->topic);
    if (length < prefix)
        return;
    try {
        r->topic.assign("out/cmd/").append(m->topic + prefix, length - prefix);
    } catch (...) {
        r->failed = true;
        return;
    }
    const bool end = m->payloadlen == 0;
    mosquitto_publish(mosq, nullptr, r->topic.c_str(), end ? 0 : static_cast<int>(r->answer.size()),
                      end ? nullptr : r->answer.data(), 2, true);
}

} // namespace

int main(int argc, char** argv)
{
    std::string host = "127.0.0.1";
    int port = 1883;
    Responder responder;
    int opt;
    while ((opt = getopt(argc, argv, "H:p:a:")) != -1) {
        switch (opt) {
        case 'H': host = optarg; break;
        case 'p': port = std::atoi(optarg); break;
        case 'a': responder.answer = optarg; break;
        default: std::fprintf(stderr, "usage: null_responder [-H host] [-p port] [-a answer]\n"); return 2;
        }
    }
    struct sigaction action {};
    action.sa_handler = stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    mosquitto_lib_init();
    int status = 0;
    {
        vek::CHandle<mosquitto, mosquitto_destroy> mosq(mosquitto_new("null_responder", true, &responder));
        if (!mosq) {
            std::fprintf(stderr, "null_responder: cannot create a client\n");
            return 1;
        }
        mosquitto_int_option(mosq.get(), MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_connect_callback_set(mosq.get(), onConnect);
        mosquitto_subscribe_callback_set(mosq.get(), onSubscribe);
        mosquitto_message_callback_set(mosq.get(), onMessage);
        if (mosquitto_connect(mosq.get(), host.c_str(), port, 60) != MOSQ_ERR_SUCCESS) {
            std::fprintf(stderr, "null_responder: cannot connect to %s:%d\n", host.c_str(), port);
            status = 1;
        }
        while (status == 0 && running && !responder.failed) {
            const int rc = mosquitto_loop(mosq.get(), 1000, 1);
            if (rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NO_CONN) {
                std::fprintf(stderr, "null_responder: connection lost\n");
                status = 1;
            }
        }
        if (responder.failed)
            status = 1;
    }
    mosquitto_lib_cleanup();
    return status;
}
