// The test support itself: later suites rely on the broker fixture, the test client and log capture.
#include "broker.h"
#include "child_process.h"
#include "log_capture.h"
#include "mqtt_test_client.h"

#include <csignal>
#include <gtest/gtest.h>

using namespace testsupport;
using namespace std::chrono_literals;

TEST(Broker, RetainedMessageSurvivesRestartOnlyWithPersistence)
{
    for (bool persistence : {false, true}) {
        SCOPED_TRACE(persistence);
        Broker broker(Broker::Options{persistence});
        broker.start();
        ASSERT_NE(broker.port(), 1883);
        {
            MqttTestClient pub(broker.port());
            pub.connect();
            pub.publish("t/retained", "kept", 1, true);
        }
        int port = broker.port();
        broker.restart();
        EXPECT_EQ(broker.port(), port);

        MqttTestClient sub(broker.port());
        sub.connect();
        sub.subscribe("t/#", 1);
        auto m = sub.waitFor("t/retained", persistence ? 3s : 300ms);
        EXPECT_EQ(m.has_value(), persistence);
        if (m) {
            EXPECT_EQ(m->payload, "kept");
            EXPECT_TRUE(m->retain);
        }
    }
}

TEST(Broker, StopEndsTheProcessAndFreesThePort)
{
    Broker broker;
    broker.start();
    pid_t pid = broker.pid();
    EXPECT_TRUE(portAccepts(broker.port()));
    broker.stop();
    EXPECT_FALSE(broker.running());
    EXPECT_NE(::kill(pid, 0), 0);
    EXPECT_FALSE(portAccepts(broker.port()));
}

TEST(MqttTestClient, DeliversInOrderPerTopic)
{
    Broker broker;
    broker.start();
    MqttTestClient a(broker.port()), b(broker.port());
    a.connect();
    b.connect();
    b.subscribe("x/+", 2);
    a.publish("x/1", "one");
    a.publish("x/2", "two");
    a.publish("x/1", std::string("t\0ree", 5));
    auto m1 = b.waitFor("x/1");
    auto m2 = b.waitFor("x/1");
    ASSERT_TRUE(m1 && m2);
    EXPECT_EQ(m1->payload, "one");
    EXPECT_EQ(m2->payload, std::string("t\0ree", 5));
    EXPECT_EQ(m1->qos, 2);
    EXPECT_TRUE(b.waitFor("x/2").has_value());
    EXPECT_FALSE(b.next(50ms).has_value());
}

TEST(LogCapture, SeesChildCategoriesAndRestoresPriority)
{
    auto& cat = log4cpp::Category::getInstance("harness.child");
    auto before = log4cpp::Category::getRoot().getPriority();
    {
        LogCapture logs;
        cat.debug("hello %d", 7);
        cat.error("bad thing");
        EXPECT_TRUE(logs.has("harness.child", log4cpp::Priority::DEBUG, "hello 7"));
        EXPECT_TRUE(logs.has("harness.child", log4cpp::Priority::ERROR, "bad thing"));
        EXPECT_EQ(logs.count("hello"), 1u);
        logs.clear();
        EXPECT_TRUE(logs.entries().empty());
    }
    EXPECT_EQ(log4cpp::Category::getRoot().getPriority(), before);
}

TEST(ChildProcess, ExitCodesOutputAndSignals)
{
    ChildProcess ok({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(ok.waitExitCode(5s), 3);
    EXPECT_EQ(ok.stdoutText(), "out\n");
    EXPECT_EQ(ok.stderrText(), "err\n");

    ChildProcess env({"/bin/sh", "-c", "echo $VEK_TEST_VALUE"}, {{"VEK_TEST_VALUE", "set"}});
    EXPECT_EQ(env.waitExitCode(5s), 0);
    EXPECT_EQ(env.stdoutText(), "set\n");

    ChildProcess sleeper({"/bin/sleep", "30"});
    EXPECT_FALSE(sleeper.waitExitCode(50ms).has_value());
    sleeper.signal(SIGTERM);
    EXPECT_EQ(sleeper.waitExitCode(5s), -1000 - SIGTERM);
}
