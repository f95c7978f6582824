#include <tavlo/client.h>

#include "tests/support/broker.h"
#include "tests/support/log_capture.h"
#include "tests/support/mqtt_test_client.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <log4cpp/Priority.hh>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace {

using log4cpp::Priority;
using namespace std::chrono_literals;

/// Records each call as "<identity> <captured values...> <payload>", after running an optional
/// action (which may throw).
class Recorder : public tavlo::Handler {
public:
    using Action = std::function<void(const tavlo::FilterVariables&)>;

    Recorder(std::string identity, std::string filter, int qos, std::vector<std::string>& calls, Action action = {})
        : tavlo::Handler(std::move(identity), std::move(filter), qos), _calls(calls), _action(std::move(action))
    {}

    void onMessage(const tavlo::FilterVariables& vars, const mosquitto_message* m, tavlo::Client&) override
    {
        if (_action)
            _action(vars);
        std::string entry = identity();
        for (const tavlo::Wildcard& w : vars.getWildcards())
            entry += " " + w.value;
        entry += " " + std::string(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
        _calls.push_back(entry);
    }

private:
    std::vector<std::string>& _calls;
    Action _action;
};

class ClientTest : public testsupport::BrokerTest {
protected:
    static void SetUpTestSuite() { mosqpp::lib_init(); }
    static void TearDownTestSuite() { mosqpp::lib_cleanup(); }

    std::unique_ptr<tavlo::Client> makeClient(const char* id, bool cleanSession = true, bool resubscribe = true)
    {
        return std::make_unique<tavlo::Client>(tavlo::ClientSessionOptions{id, cleanSession, resubscribe}, nullptr);
    }

    void start(tavlo::Client& client) { ASSERT_EQ(client.start("127.0.0.1", broker->port()), MOSQ_ERR_SUCCESS); }

    /// Drives the client's network loop (the library has no thread of its own) until done() holds,
    /// reconnecting whenever the loop reports no or a lost connection.
    bool pump(tavlo::Client& client, const std::function<bool()>& done, std::chrono::milliseconds limit = 5s)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (done())
                return true;
            if (client.loop(100, 1) != MOSQ_ERR_SUCCESS && client.reconnect() != MOSQ_ERR_SUCCESS)
                std::this_thread::sleep_for(50ms);
        }
        return done();
    }

    /// Pumps until the broker has acknowledged n subscribe requests in all.
    bool pumpUntilSubacks(tavlo::Client& client, size_t n)
    {
        return pump(client, [&] { return capture.count("subscribed (msg:") >= n; });
    }

    bool pumpUntilCalls(tavlo::Client& client, const std::vector<std::string>& calls, size_t n)
    {
        return pump(client, [&] { return calls.size() >= n; });
    }

    std::unique_ptr<testsupport::MqttTestClient> peer()
    {
        auto p = std::make_unique<testsupport::MqttTestClient>(broker->port());
        p->connect();
        return p;
    }

    testsupport::LogCapture capture;
};

TEST_F(ClientTest, HandlersOnOneFilterShareOneSubscriptionInRegistrationOrder)
{
    std::vector<std::string> calls;
    Recorder first("first", "dev/+/state", 0, calls), second("second", "dev/+/state", 2, calls);
    auto client = makeClient("tavlo-two");
    client->registerHandler(&first);
    client->registerHandler(&second);
    start(*client);
    ASSERT_TRUE(pumpUntilSubacks(*client, 1)) << broker->log();
    EXPECT_TRUE(capture.has("tavloClient", Priority::INFO, "Connection up. Session not present"));
    EXPECT_TRUE(capture.has("tavloClient", Priority::INFO, "subscribed to \"dev/+/state\""));
    EXPECT_EQ(capture.count("subscribed to"), 1u);
    EXPECT_EQ(capture.count("qos: 1, granted: 2"), 1u); // one request, at the higher QoS
    EXPECT_TRUE(client->subscriptions()[0].isSubscribed());

    peer()->publish("dev/7/state", "on", 1);
    ASSERT_TRUE(pumpUntilCalls(*client, calls, 2));
    EXPECT_EQ(calls, (std::vector<std::string>{"first 7 on", "second 7 on"}));
    EXPECT_TRUE(capture.has("tavloClient", Priority::DEBUG, "received \"dev/+/state\""));
}

TEST_F(ClientTest, OverlappingFiltersReachEveryHandlerInCreationOrder)
{
    std::vector<std::string> calls;
    // An invalid filter first: its subscribe request is refused, and every message compared with
    // it gives a matcher error that must not keep the others from their messages.
    Recorder invalid("invalid", "+foo", 1, calls), literal("literal", "room/kitchen/temp", 1, calls),
        plus("plus", "room/+/temp", 1, calls);
    auto client = makeClient("tavlo-overlap");
    client->registerHandler(&invalid);
    client->registerHandler(&literal);
    client->registerHandler(&plus);
    start(*client);
    ASSERT_TRUE(pumpUntilSubacks(*client, 2)) << broker->log();
    EXPECT_TRUE(capture.has("tavloClient", Priority::ERROR,
                            "Subscription::subscribe failed for \"+foo\". Invalid function arguments provided."));
    EXPECT_FALSE(client->subscriptions()[0].isSubscribed());

    auto p = peer();
    p->publish("room/kitchen/temp", "21", 1);
    p->publish("room/hall/temp", "19", 1);
    // The error text holds the topic, which comes from the network: it is logged as it is, never
    // read as a format.
    p->publish("room/%s%s%s%s/temp", "5", 1);
    ASSERT_TRUE(pumpUntilCalls(*client, calls, 4));
    EXPECT_EQ(calls, (std::vector<std::string>{"literal 21", "plus kitchen 21", "plus hall 19", "plus %s%s%s%s 5"}));
    EXPECT_TRUE(capture.has("tavloClient", Priority::ERROR,
                            "Filter::compareWithTopic topic comparison with filter failed.\n"
                            "topic = room/hall/temp\nfilter = +foo\n"
                            "error msg = Invalid function arguments provided."));
    EXPECT_TRUE(capture.has("tavloClient", Priority::ERROR,
                            "Filter::compareWithTopic topic comparison with filter failed.\n"
                            "topic = room/%s%s%s%s/temp\nfilter = +foo\n"
                            "error msg = Invalid function arguments provided."));
}

TEST_F(ClientTest, MatcherErrorLogsTheTopicAsText)
{
    // The matcher's error text holds the topic: printf conversions in it must reach the log as
    // they are (as a format they read stack words as string pointers and crash the process).
    std::vector<std::string> calls;
    Recorder invalid("invalid", "+foo", 1, calls), job("job", "in/cmd/+", 1, calls);
    auto client = makeClient("tavlo-format");
    client->registerHandler(&invalid);
    client->registerHandler(&job);
    start(*client);
    ASSERT_TRUE(pumpUntilSubacks(*client, 1)) << broker->log();

    std::string id;
    for (int i = 0; i < 16; ++i)
        id += "%s";
    id += "%p%d%n";
    peer()->publish("in/cmd/" + id, "x", 1);
    ASSERT_TRUE(pumpUntilCalls(*client, calls, 1));
    EXPECT_EQ(calls, (std::vector<std::string>{"job " + id + " x"}));
    EXPECT_TRUE(capture.has("tavloClient", Priority::ERROR,
                            "Filter::compareWithTopic topic comparison with filter failed.\n"
                            "topic = in/cmd/" +
                                id +
                                "\nfilter = +foo\n"
                                "error msg = Invalid function arguments provided."));
}

TEST_F(ClientTest, MessageMatchingNoFilterIsDroppedSilently)
{
    std::vector<std::string> calls;
    Recorder handler("handler", "known/+", 1, calls);
    auto client = makeClient("tavlo-drop");
    client->registerHandler(&handler);
    start(*client);
    ASSERT_TRUE(pumpUntilSubacks(*client, 1));
    // A subscription of the caller's own, outside the handlers' filters.
    ASSERT_EQ(client->subscribe(nullptr, "other/#", 1), MOSQ_ERR_SUCCESS);
    ASSERT_TRUE(pumpUntilSubacks(*client, 2));

    const size_t before = capture.messages("tavloClient").size();
    peer()->publish("other/x", "lost", 1);
    ASSERT_TRUE(pump(*client, [&] { return capture.contains("'other/x'"); })); // the library's own line
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(capture.messages("tavloClient").size(), before);
}

TEST_F(ClientTest, ThrowingHandlerDoesNotStopTheNext)
{
    std::vector<std::string> calls;
    Recorder thrower("thrower", "job/+", 1, calls,
                     [](const tavlo::FilterVariables&) { throw std::runtime_error("boom"); });
    Recorder outOfRange("outOfRange", "job/+", 1, calls, [](const tavlo::FilterVariables& vars) { vars.get(1); });
    Recorder last("last", "job/+", 1, calls);
    auto client = makeClient("tavlo-throw");
    client->registerHandler(&thrower);
    client->registerHandler(&outOfRange);
    client->registerHandler(&last);
    start(*client);
    ASSERT_TRUE(pumpUntilSubacks(*client, 1));

    peer()->publish("job/1", "x", 1);
    ASSERT_TRUE(pumpUntilCalls(*client, calls, 1));
    EXPECT_EQ(calls, std::vector<std::string>{"last 1 x"});
    EXPECT_TRUE(capture.has("tavloClient", Priority::WARN, "handler through exception onMessage. boom"));
    EXPECT_EQ(capture.count("handler through exception onMessage. FilterVariables::get"), 1u);
}

TEST_F(ClientTest, NonStandardExceptionIsStoppedAtTheCallback)
{
    std::vector<std::string> calls;
    Recorder thrower("thrower", "job/+", 1, calls, [](const tavlo::FilterVariables&) { throw 42; });
    Recorder next("next", "job/+", 1, calls);
    auto client = makeClient("tavlo-throw-int");
    client->registerHandler(&thrower);
    client->registerHandler(&next);
    start(*client);
    ASSERT_TRUE(pumpUntilSubacks(*client, 1));

    auto p = peer();
    p->publish("job/1", "x", 1);
    p->publish("job/2", "y", 1);
    ASSERT_TRUE(pump(*client, [&] { return capture.count("not a std::exception") >= 2; }));
    // Not a handler failure the client reports and passes over: the message's dispatch ends.
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(
        capture.has("tavloClient", Priority::ERROR, "on_message failed: an exception that is not a std::exception"));
    EXPECT_EQ(capture.count("handler through exception"), 0u);
}

TEST_F(ClientTest, HandlerRegisteringHandlersDuringDispatch)
{
    std::vector<std::string> calls;
    auto client = makeClient("tavlo-grow");
    Recorder sameFilter("sameFilter", "g/+", 1, calls), newFilter("newFilter", "g/#", 1, calls);
    // Registering reallocates the handler list being walked and the client's list of
    // subscriptions while the first subscription dispatches.
    bool grown = false;
    Recorder grower("grower", "g/+", 1, calls, [&](const tavlo::FilterVariables&) {
        if (grown)
            return;
        grown = true;
        client->registerHandler(&sameFilter);
        client->registerHandler(&newFilter);
    });
    // A handler after the grower: its call must not go through a list the grower has reallocated.
    Recorder tail("tail", "g/+", 1, calls);
    client->registerHandler(&grower);
    client->registerHandler(&tail);
    start(*client);
    ASSERT_TRUE(pumpUntilSubacks(*client, 1));

    auto p = peer();
    p->publish("g/1", "a", 1);
    p->publish("g/2", "b", 1);
    ASSERT_TRUE(pumpUntilCalls(*client, calls, 6));
    EXPECT_EQ(calls,
              (std::vector<std::string>{"grower 1 a", "tail 1 a", "grower 2 b", "tail 2 b", "sameFilter 2 b",
                                        "newFilter 2 b"}));
}

TEST_F(ClientTest, CleanSessionResubscribesAfterBrokerRestart)
{
    std::vector<std::string> calls;
    Recorder handler("handler", "s/+", 1, calls);
    auto client = makeClient("tavlo-restart");
    client->registerHandler(&handler);
    start(*client);
    ASSERT_TRUE(pumpUntilSubacks(*client, 1));

    broker->restart();
    ASSERT_TRUE(pumpUntilSubacks(*client, 2)) << broker->log();
    EXPECT_TRUE(capture.has("tavloClient", Priority::WARN, "The connection was lost."));
    EXPECT_EQ(capture.count("Connection up. Session not present"), 2u);
    EXPECT_EQ(capture.count("subscribed to \"s/+\""), 2u);

    peer()->publish("s/after", "back", 1);
    ASSERT_TRUE(pumpUntilCalls(*client, calls, 1));
    EXPECT_EQ(calls, std::vector<std::string>{"handler after back"});
}

TEST_F(ClientTest, WithoutResubscribeOnlyNeverSubscribedFiltersAreSent)
{
    std::vector<std::string> calls;
    Recorder early("early", "r/a", 1, calls), invalid("invalid", "+foo", 1, calls), late("late", "r/+", 1, calls);
    auto client = makeClient("tavlo-noresub", true, false);
    client->registerHandler(&early);
    client->registerHandler(&invalid);
    start(*client);
    ASSERT_TRUE(pumpUntilSubacks(*client, 1));

    // Registered after the connection was accepted: nothing is sent until the next one.
    client->registerHandler(&late);
    pump(
        *client, [] { return false; }, 300ms);
    EXPECT_FALSE(client->subscriptions()[2].isSubscribed());
    EXPECT_EQ(capture.count("subscribed to \"r/+\""), 0u);

    client->disconnect();
    ASSERT_TRUE(pump(*client, [&] { return capture.count("Connection up. Session not present") == 2; }));
    ASSERT_TRUE(pumpUntilSubacks(*client, 2));
    EXPECT_EQ(capture.count("subscribed to \"r/a\""), 1u);
    EXPECT_EQ(capture.count("\"r/a\" hasn't been subscribed before... trying now"), 1u);
    EXPECT_EQ(capture.count("\"+foo\" hasn't been subscribed before... trying now"), 2u);
    EXPECT_EQ(capture.count("Subscription::subscribe failed for \"+foo\""), 2u);
    EXPECT_TRUE(capture.has("tavloClient", Priority::DEBUG, "\"r/+\" hasn't been subscribed before... trying now"));
    EXPECT_EQ(capture.count("subscribed to \"r/+\""), 1u);

    peer()->publish("r/b", "late", 1);
    ASSERT_TRUE(pumpUntilCalls(*client, calls, 1));
    EXPECT_EQ(calls, std::vector<std::string>{"late b late"});
}

TEST_F(ClientTest, TcpNoDelayIsTheProgramsChoice)
{
    auto optionOf = [](tavlo::Client& client) {
        int value = -1;
        socklen_t len = sizeof value;
        EXPECT_EQ(::getsockopt(client.socket(), IPPROTO_TCP, TCP_NODELAY, &value, &len), 0);
        return value;
    };
    auto plain = makeClient("tavlo-nagle");
    start(*plain);
    EXPECT_EQ(optionOf(*plain), 0);

    auto tuned = makeClient("tavlo-nodelay");
    ASSERT_EQ(tuned->int_option(MOSQ_OPT_TCP_NODELAY, 1), MOSQ_ERR_SUCCESS);
    start(*tuned);
    EXPECT_NE(optionOf(*tuned), 0);
}

TEST_F(ClientTest, LibraryLogLinesCanBeTurnedOffAndOnAgain)
{
    std::vector<std::string> calls;
    Recorder recorder("r", "lib/+", 1, calls);
    auto client = makeClient("tavlo-quiet");
    client->registerHandler(&recorder);
    start(*client);
    ASSERT_TRUE(pumpUntilSubacks(*client, 1));
    EXPECT_TRUE(capture.has("mosq", Priority::DEBUG, "Client tavlo-quiet sending CONNECT"));

    auto other = peer();
    client->library_log(false);
    other->publish("lib/a", "one", 1);
    ASSERT_TRUE(pumpUntilCalls(*client, calls, 1));
    EXPECT_EQ(capture.count("received PUBLISH"), 0u);

    client->library_log(true);
    other->publish("lib/b", "two", 1);
    ASSERT_TRUE(pumpUntilCalls(*client, calls, 2));
    EXPECT_EQ(capture.count("received PUBLISH"), 1u);
    EXPECT_EQ(capture.count("'lib/b'"), 1u);
}

class PersistentClientTest : public ClientTest {
protected:
    testsupport::Broker::Options brokerOptions() const override { return {true}; }
};

TEST_F(PersistentClientTest, SessionPresentSubscribesNothing)
{
    std::vector<std::string> calls;
    Recorder handler("handler", "p/+", 1, calls);
    auto client = makeClient("tavlo-persistent", false, true);
    client->registerHandler(&handler);
    start(*client);
    ASSERT_TRUE(pumpUntilSubacks(*client, 1));
    EXPECT_TRUE(capture.has("tavloClient", Priority::INFO, "Connection up. Session not present"));

    broker->restart(); // the broker keeps the session and its subscription on disk
    capture.clear();
    ASSERT_TRUE(pump(*client, [&] { return capture.contains("Connection up."); })) << broker->log();
    EXPECT_TRUE(capture.has("tavloClient", Priority::INFO, "Connection up. Session already present"));

    peer()->publish("p/9", "kept", 1);
    ASSERT_TRUE(pumpUntilCalls(*client, calls, 1)) << broker->log();
    EXPECT_EQ(calls, std::vector<std::string>{"handler 9 kept"});
    EXPECT_EQ(capture.count("subscribed to"), 0u);
    EXPECT_EQ(capture.count("hasn't been subscribed"), 0u);
    EXPECT_EQ(capture.count("subscribed (msg:"), 0u);
}

} // namespace
