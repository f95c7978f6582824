/* A small MQTT client for the installation test, logging in as one of the board's accounts.
 *
 *   mqtt_probe PORT USER PASSWORD-FILE pub TOPIC PAYLOAD
 *       exit 0 when the broker took the message (QoS 1 acknowledged), 3 when it refused the login
 *   mqtt_probe PORT USER PASSWORD-FILE sub FILTER STOP-TOPIC SECONDS
 *       prints "subscribed" once the broker confirmed the subscription, then the topic of every
 *       message received until one arrives on STOP-TOPIC (exit 0) or SECONDS pass (exit 4); 3 when
 *       the broker refused the login
 *
 * USER "-" connects without a login. */
#include <mosquitto.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static int connack = -1, acked = 0, stopped = 0;
static const char* stop_topic;

static void on_connect(struct mosquitto* m, void* o, int rc)
{
    (void)m;
    (void)o;
    connack = rc;
}
static void on_publish(struct mosquitto* m, void* o, int mid)
{
    (void)m;
    (void)o;
    (void)mid;
    acked = 1;
}
static void on_subscribe(struct mosquitto* m, void* o, int mid, int n, const int* granted)
{
    (void)m;
    (void)o;
    (void)mid;
    (void)n;
    (void)granted;
    printf("subscribed\n");
    fflush(stdout);
}

static void on_message(struct mosquitto* m, void* o, const struct mosquitto_message* msg)
{
    (void)m;
    (void)o;
    printf("%s\n", msg->topic);
    fflush(stdout);
    if (stop_topic && strcmp(msg->topic, stop_topic) == 0)
        stopped = 1;
}

static int run_until(struct mosquitto* m, int* flag, time_t deadline)
{
    while (!*flag && time(NULL) < deadline)
        if (mosquitto_loop(m, 100, 1) != MOSQ_ERR_SUCCESS)
            return 0;
    return *flag;
}

int main(int argc, char** argv)
{
    if (argc < 7)
        return 2;
    char password[256] = "";
    if (strcmp(argv[2], "-") != 0) {
        FILE* f = fopen(argv[3], "r");
        if (!f || !fgets(password, sizeof password, f))
            return 2;
        fclose(f);
        password[strcspn(password, "\n")] = '\0';
    }
    mosquitto_lib_init();
    struct mosquitto* m = mosquitto_new(NULL, 1, NULL);
    if (!m)
        return 2;
    if (strcmp(argv[2], "-") != 0)
        mosquitto_username_pw_set(m, argv[2], password);
    mosquitto_connect_callback_set(m, on_connect);
    mosquitto_publish_callback_set(m, on_publish);
    mosquitto_message_callback_set(m, on_message);
    mosquitto_subscribe_callback_set(m, on_subscribe);
    const int seconds = argc > 7 ? atoi(argv[7]) : 10;
    const time_t deadline = time(NULL) + seconds;
    if (mosquitto_connect(m, "127.0.0.1", atoi(argv[1]), 60) != MOSQ_ERR_SUCCESS)
        return 2;
    while (connack < 0 && time(NULL) < deadline)
        if (mosquitto_loop(m, 100, 1) != MOSQ_ERR_SUCCESS)
            break;
    if (connack != 0)
        return 3;
    if (strcmp(argv[4], "pub") == 0) {
        mosquitto_publish(m, NULL, argv[5], (int)strlen(argv[6]), argv[6], 1, 0);
        return run_until(m, &acked, deadline) ? 0 : 4;
    }
    stop_topic = argv[6];
    mosquitto_subscribe(m, NULL, argv[5], 1);
    return run_until(m, &stopped, deadline) ? 0 : 4;
}
