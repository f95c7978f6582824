#include "keysmith/key_mqtt.h"
#include "keysmith/key_records.h"
#include "test_bytes.h"

#include "tests/support/broker.h"
#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/mqtt_test_client.h"
#include "tests/support/retained.h"
#include "tests/support/wait.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <dirent.h>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <log4cpp/Priority.hh>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using log4cpp::Priority;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::MqttTestClient;

const char* const kSubscribed = "subscribed (msg:"; // the client's log line on the SUBACK
const char* const kConnectionUp = "Connection up.";
const char* const kHandlerException = "handler through exception onMessage. ";
const char* const kDropped = "but who cares?"; // a request that came while nobody waited
const char* const kReceived = "received \"in/key/+/request\"";

template <class T>
bool ready(std::future<T>& f)
{
    return f.wait_for(0s) == std::future_status::ready;
}

std::string requestTopic(const std::string& level) { return "in/key/" + level + "/request"; }

class KeyMqttTest : public testsupport::BrokerTest {
protected:
    void TearDown() override
    {
        cKeyMQTT::destroyInstance(); // the link is process-wide
        _server.reset();
        BrokerTest::TearDown();
    }

    cKeyMQTT* link() { return cKeyMQTT::getInstance("Vondra", "127.0.0.1", broker->port()); }

    /// The link with its request subscription acknowledged by the broker.
    cKeyMQTT* connectedLink()
    {
        cKeyMQTT* mqtt = link();
        EXPECT_TRUE(capture.waitFor(kSubscribed, 5s)) << broker->log();
        return mqtt;
    }

    /// The test's "server": a plain client, connected on first use.
    MqttTestClient& server()
    {
        if (!_server) {
            _server = std::make_unique<MqttTestClient>(broker->port(), "server");
            _server->connect();
        }
        return *_server;
    }

    /// Publishes a retained request until one reaches the waiting thread; the number sent. The link
    /// drops a request that arrives while nobody waits, so each goes out only once the waiting
    /// thread sleeps, which it does inside its wait; `taken` tells that the wait has ended. The
    /// thread is given by its id, 0 until it has one.
    size_t publishUntilTaken(const std::string& topic, const std::string& payload, const std::atomic<pid_t>& waiter,
                             const std::function<bool()>& taken)
    {
        size_t sent = 0;
        while (!taken() && sent < 20) {
            EXPECT_TRUE(testsupport::waitUntil([&] { return waiter.load() != 0; }));
            EXPECT_TRUE(testsupport::waitUntilAsleep(waiter.load()));
            const size_t dropped = capture.count(kDropped);
            server().publish(topic, payload, 2, true);
            ++sent;
            testsupport::waitUntil([&] { return taken() || capture.count(kDropped) > dropped; });
        }
        return sent;
    }

    /// What the broker holds retained under the filter, once at least `count` messages are.
    testsupport::RetainedMessages retained(const std::string& filter, size_t count = 0)
    {
        return testsupport::retained(broker->port(), filter, count);
    }

    testsupport::LogCapture capture;

private:
    std::unique_ptr<MqttTestClient> _server;
};

TEST_F(KeyMqttTest, RequestReachesTheWaitingThreadAndIsClearedFromTheBroker)
{
    struct Case {
        std::string level;
        uint32_t serial;
    };
    cKeyMQTT* mqtt = connectedLink();
    server().subscribe("in/key/+/request", 2);
    int requests = 0;
    for (const Case& c : {Case{"0000ABCD", 0xABCD}, Case{"1a2b", 0x1A2B}, Case{"0x1A2B", 0x1A2B}, Case{"zz", 0}}) {
        SCOPED_TRACE(c.level);
        capture.clear();
        const std::string topic = requestTopic(c.level);
        const std::string payload = bytes({0x92, 0xc3, 0xce, 0x00, 0x01, 0x02, 0x03});
        ServerRequest* request = nullptr;
        std::atomic<pid_t> waiter{0};
        auto waiting = std::async(std::launch::async, [&] {
            waiter = testsupport::currentThreadId();
            return mqtt->requestWaiter.wait(&request, 15);
        });
        const size_t sent = publishUntilTaken(topic, payload, waiter, [&] { return ready(waiting); });
        ASSERT_TRUE(waiting.get()) << broker->log();
        ASSERT_NE(request, nullptr);
        EXPECT_EQ(request->serial, c.serial);
        EXPECT_TRUE(request->doUpgrade);
        EXPECT_EQ(request->version, 0x010203u);
        delete request;
        ++requests;

        // The server sees each request it sent and, for each, the link's empty retained removal
        // (a removal may come after the next request).
        size_t removals = 0;
        for (size_t i = 0; i < 2 * sent; ++i) {
            const auto m = server().waitFor(topic);
            ASSERT_TRUE(m.has_value());
            EXPECT_EQ(m->qos, 2);
            removals += m->payload.empty();
        }
        EXPECT_EQ(removals, sent);
        EXPECT_TRUE(retained("in/key/#").empty());

        // The link received the removals too, and its handler said nothing about them.
        ASSERT_TRUE(testsupport::waitUntil([&] { return capture.count(kReceived) >= 2 * sent; }));
        EXPECT_EQ(capture.count(kReceived), 2 * sent);
        EXPECT_TRUE(capture.has("serverRequest", Priority::INFO, "My topic: " + topic));
        EXPECT_TRUE(capture.has("serverRequest", Priority::INFO, "serial  : " + std::to_string(c.serial)));
        EXPECT_EQ(capture.messages("serverRequest").size(), 3 * sent); // dump, topic, serial
    }
    EXPECT_EQ(requests, 4);
}

TEST_F(KeyMqttTest, RequestWhileNobodyWaitsIsDroppedButStillRemoved)
{
    connectedLink();
    server().subscribe("in/key/+/request", 2);
    server().publish(requestTopic("0000ABCD"), bytes({0x92, 0xc3, 0x05}), 2, true);
    EXPECT_TRUE(capture.waitFor("but who cares?", 5s));
    ASSERT_TRUE(server().waitFor(requestTopic("0000ABCD")).has_value());
    const auto removal = server().waitFor(requestTopic("0000ABCD"));
    ASSERT_TRUE(removal.has_value());
    EXPECT_EQ(removal->payload, "");
    EXPECT_TRUE(retained("in/key/#").empty());
}

TEST_F(KeyMqttTest, MalformedRequestsStayRetainedAndAreLoggedByTheClient)
{
    const std::pair<const char*, std::string> cases[] = {
        {"not-an-array", bytes({0x05})},
        {"first-not-boolean", bytes({0x92, 0x01, 0x05})},
        {"version-a-string", bytes({0x92, 0xc3, 0xa1, '5'})},
        {"version-negative", bytes({0x92, 0xc3, 0xff})},
        {"version-above-32-bits", bytes({0x92, 0xc3, 0xcf, 0, 0, 0, 0x01, 0, 0, 0, 0})},
        {"not-msgpack", bytes({0xc1})},
        {"forged-size", bytes({0xdd, 0xff, 0xff, 0xff, 0xff})},
    };
    cKeyMQTT* mqtt = connectedLink();
    // Someone waits throughout, so any request that decoded would be handed over; the first one
    // to arrive must be the valid request sent last.
    ServerRequest* request = nullptr;
    std::atomic<pid_t> waiter{0};
    auto waiting = std::async(std::launch::async, [&] {
        waiter = testsupport::currentThreadId();
        return mqtt->requestWaiter.wait(&request, 15);
    });
    size_t failures = 0;
    for (const auto& [level, payload] : cases) {
        SCOPED_TRACE(level);
        server().publish(requestTopic(level), payload, 2, true);
        ++failures;
        EXPECT_TRUE(testsupport::waitUntil([&] { return capture.count(kHandlerException) >= failures; }));
        EXPECT_EQ(capture.count(kHandlerException), failures);
    }
    const size_t sent =
        publishUntilTaken(requestTopic("000000FF"), bytes({0x91, 0xc3}), waiter, [&] { return ready(waiting); });
    ASSERT_TRUE(waiting.get());
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->serial, 0xFFu);
    delete request;
    EXPECT_EQ(capture.count("My topic"), sent);
    EXPECT_EQ(capture.count("triggered"), sent);
    // The valid requests' removals have come back: the broker holds what is left.
    ASSERT_TRUE(testsupport::waitUntil([&] { return capture.count(kReceived) >= std::size(cases) + 2 * sent; }));
    for (const auto& entry : capture.entries()) {
        if (entry.message.rfind(kHandlerException, 0) == 0) {
            EXPECT_EQ(entry.category, "tavloClient");
            EXPECT_EQ(entry.priority, Priority::WARN);
        }
    }

    const auto kept = retained("in/key/#");
    ASSERT_EQ(kept.size(), std::size(cases));
    for (const auto& [level, payload] : cases) {
        bool found = false;
        for (const auto& message : kept)
            if (message.topic == requestTopic(level)) {
                found = true;
                EXPECT_EQ(hex(message.payload), hex(payload)) << level;
            }
        EXPECT_TRUE(found) << level;
    }
}

TEST_F(KeyMqttTest, AnnounceKeyAsksTheServerAndWeighsTheAnswer)
{
    struct Case {
        const char* name;
        uint32_t current;
        std::string answerLevel;
        std::string answer;
        uint32_t expected;
        std::vector<std::string> logs; // on "cKeyMQTT" after the notification, in order
    };
    const Case cases[] = {
        {"equal version",
         0x010203,
         "0000ABCD",
         bytes({0x92, 0xc3, 0xce, 0, 0x01, 0x02, 0x03}),
         0x010203,
         {"Request for key: 0000ABCD Upgrade to version: 00010203", "Request is for this key, version 66051",
          "Upgrade key to 00010203"}},
        {"higher version",
         0x010203,
         "0000abcd",
         bytes({0x92, 0xc2, 0xce, 0, 0x02, 0, 0}),
         0x020000,
         {"Request for key: 0000ABCD Leave at version: 00020000", "Request is for this key, version 66051",
          "Upgrade key to 00020000"}},
        {"lower version",
         0x010203,
         "ABCD",
         bytes({0x92, 0xc3, 0xce, 0, 0x01, 0x02, 0x02}),
         0,
         {"Request for key: 0000ABCD Upgrade to version: 00010202", "Request is for this key, version 66051",
          "Key will not be upgraded"}},
        {"another key",
         0x010203,
         "0000ABCE",
         bytes({0x92, 0xc3, 0xce, 0, 0x02, 0, 0}),
         0,
         {"Request for key: 0000ABCE Upgrade to version: 00020000"}},
        {"boolean only",
         0x010203,
         "0000ABCD",
         bytes({0x91, 0xc3}),
         0,
         {"Request for key: 0000ABCD Upgrade to version: 00000000", "Request is for this key, version 66051",
          "Key will not be upgraded"}},
        {"boolean only, key at 0",
         0,
         "0000ABCD",
         bytes({0x91, 0xc3}),
         0,
         {"Request for key: 0000ABCD Upgrade to version: 00000000", "Request is for this key, version 0",
          "Upgrade key to 00000000"}},
    };
    cKeyMQTT* mqtt = connectedLink();
    server().subscribe("out/key/+/notification", 2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        capture.clear();
        // The server answers each notification with its request (again, until the link is
        // waiting for it).
        std::atomic<bool> announced{false};
        const std::atomic<pid_t> announcing{testsupport::currentThreadId()};
        auto answered = std::async(std::launch::async, [&] {
            const auto notification = server().waitFor("out/key/0000ABCD/notification", 10s);
            if (notification)
                publishUntilTaken(requestTopic(c.answerLevel), c.answer, announcing, [&] { return announced.load(); });
            return notification;
        });
        const auto start = Clock::now();
        EXPECT_EQ(mqtt->announceKey(0xABCD, c.current), c.expected);
        announced = true;
        EXPECT_LT(Clock::now() - start, 1s + testsupport::kSchedulingSlack) << "the answer ends the 15 s wait";
        const auto notification = answered.get();
        ASSERT_TRUE(notification.has_value());
        msgpack::sbuffer expected;
        msgpack::pack(expected, keysmith::Notification{c.current});
        EXPECT_EQ(hex(notification->payload), hex(std::string(expected.data(), expected.size())));

        auto logs = capture.messages("cKeyMQTT");
        ASSERT_FALSE(logs.empty());
        logs.erase(logs.begin()); // "Notified that key ..."
        EXPECT_EQ(logs, c.logs);
        for (const auto& entry : capture.entries()) {
            if (entry.category == "cKeyMQTT" && entry.message.rfind("Request for key: ", 0) == 0) {
                EXPECT_EQ(entry.priority, Priority::INFO);
            }
        }
        EXPECT_EQ(capture.count("created"), capture.count("deleted")); // the request was deleted
    }
}

TEST_F(KeyMqttTest, NotificationAndResultRecordsAreRetainedAtQos2)
{
    struct Case {
        const char* name;
        std::function<void(cKeyMQTT&)> publish;
        std::string topic;
        std::string payload;
        std::string log;
    };
    const Case cases[] = {
        {"notification", [](cKeyMQTT& m) { m.publishNotification(0xABCD, 0x080902); }, "out/key/0000ABCD/notification",
         bytes({0x91, 0xce, 0, 0x08, 0x09, 0x02}), "Notified that key 0x0000ABCD:0x00080902 is connected"},
        {"small notification", [](cKeyMQTT& m) { m.publishNotification(0xFFFFFFFF, 200); },
         "out/key/FFFFFFFF/notification", bytes({0x91, 0xcc, 0xc8}),
         "Notified that key 0xFFFFFFFF:0x000000C8 is connected"},
        {"success", [](cKeyMQTT& m) { m.publishResult(true, 0xABCD, 0x080902); }, "out/key/0000ABCD/result",
         bytes({0x92, 0xc3, 0xce, 0, 0x08, 0x09, 0x02}), "Sent result that key 0000ABCD was upgraded to 00080902"},
        {"failure", [](cKeyMQTT& m) { m.publishResult(false, 0x12, 0); }, "out/key/00000012/result",
         bytes({0x92, 0xc2, 0x00}), "Sent result that key 00000012 was NOT upgraded to 00000000"},
    };
    cKeyMQTT* mqtt = connectedLink();
    server().subscribe("out/key/#", 2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.publish(*mqtt);
        const auto live = server().waitFor(c.topic);
        ASSERT_TRUE(live.has_value());
        EXPECT_EQ(hex(live->payload), hex(c.payload));
        EXPECT_TRUE(capture.has("cKeyMQTT", Priority::DEBUG, c.log));
    }
    // A late subscriber gets every record from the broker's store, at QoS 2.
    const auto kept = retained("out/key/#", std::size(cases));
    ASSERT_EQ(kept.size(), std::size(cases));
    for (const Case& c : cases) {
        bool found = false;
        for (const auto& message : kept)
            if (message.topic == c.topic) {
                found = true;
                EXPECT_EQ(hex(message.payload), hex(c.payload)) << c.name;
                EXPECT_TRUE(message.retain) << c.name;
                EXPECT_EQ(message.qos, 2) << c.name;
            }
        EXPECT_TRUE(found) << c.name;
    }
}

TEST_F(KeyMqttTest, SecondGetInstanceReturnsTheFirstLink)
{
    cKeyMQTT* first = connectedLink();
    // Neither host nor port of the second call is ever contacted.
    cKeyMQTT* second = cKeyMQTT::getInstance("other", "127.0.0.2", testsupport::freeLoopbackPort());
    EXPECT_EQ(second, first);
    server().subscribe("out/key/#", 2);
    second->publishNotification(1, 2);
    EXPECT_TRUE(server().waitFor("out/key/00000001/notification").has_value());
    EXPECT_EQ(capture.count(kConnectionUp), 1u);
}

TEST_F(KeyMqttTest, LinkSocketSendsWithoutDelay)
{
    connectedLink();
    // The only connection to the broker so far is the link's.
    int sockets = 0;
    DIR* fds = ::opendir("/proc/self/fd");
    ASSERT_NE(fds, nullptr);
    while (dirent* entry = ::readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        struct stat info {};
        if (entry->d_name[0] == '.' || ::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode) ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET ||
            ntohs(peer.sin_port) != broker->port())
            continue;
        ++sockets;
        int noDelay = 0;
        socklen_t size = sizeof noDelay;
        ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
        EXPECT_NE(noDelay, 0);
    }
    ::closedir(fds);
    EXPECT_EQ(sockets, 1);
}

TEST_F(KeyMqttTest, DestroyInstanceStopsTheNetworkThreadPromptly)
{
    for (const bool brokerUp : {true, false}) {
        SCOPED_TRACE(brokerUp ? "connected" : "no broker");
        // Waiting out the loop call or the pause would take the rest of its second, about 900 ms
        // or more; a prompt stop is a disconnect and a join. The fastest of a few stops, so that
        // one stalled by a busy machine does not count.
        auto fastest = Clock::duration::max();
        for (int round = 0; round < 3; ++round) {
            capture.clear();
            if (!brokerUp)
                broker->stop();
            link();
            if (brokerUp) {
                ASSERT_TRUE(capture.waitFor(kSubscribed, 5s));
            }
            // Inside a loop call or a pause between attempts.
            ASSERT_TRUE(testsupport::waitUntilThreadsAsleep());
            const auto start = Clock::now();
            cKeyMQTT::destroyInstance();
            fastest = std::min(fastest, Clock::now() - start);
            if (!brokerUp)
                broker->start();
        }
        EXPECT_LT(fastest, 700ms) << std::chrono::duration_cast<std::chrono::milliseconds>(fastest).count();
    }
}

TEST_F(KeyMqttTest, WithoutBrokerTheLinkIdlesAndConnectsOnceTheBrokerIsUp)
{
    broker->stop();
    link();
    // Its first attempt refused, the link pauses.
    ASSERT_TRUE(testsupport::waitUntilThreadsAsleep());
    const double before = testsupport::processCpuSeconds(::getpid());
    std::this_thread::sleep_for(2s); // the span measured, not a wait for anything
    const double used = testsupport::processCpuSeconds(::getpid()) - before;
    RecordProperty("idle_cpu_seconds_over_2s", std::to_string(used));
    std::printf("CPU while idle without broker: %.3f s over 2 s\n", used);
    EXPECT_LT(used, 0.25 * testsupport::kBuildSlowdown);
    EXPECT_FALSE(capture.contains(kConnectionUp));

    // Reconnection: within the one-second spacing of attempts, also after losing the broker.
    for (const char* phase : {"broker started", "broker restarted"}) {
        SCOPED_TRACE(phase);
        capture.clear();
        if (std::string(phase) == "broker started")
            broker->start();
        else
            broker->restart();
        const auto start = Clock::now();
        ASSERT_TRUE(capture.waitFor(kSubscribed, 5s)) << broker->log();
        const auto elapsed = Clock::now() - start;
        std::printf("%s: link subscribed after %lld ms\n", phase,
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
        EXPECT_LT(elapsed, 1s + testsupport::kSchedulingSlack);
    }
    server().subscribe("out/key/#", 2);
    cKeyMQTT::getInstance(nullptr, nullptr)->publishResult(true, 7, 8);
    EXPECT_TRUE(server().waitFor("out/key/00000007/result").has_value());
}

} // namespace
