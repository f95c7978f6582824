// The test support itself: later suites rely on the broker fixture, the test client and log capture.
#include "tests/support/broker.h"
#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/mqtt_test_client.h"
#include "tests/support/retained.h"
#include "tests/support/wait.h"

#include <arpa/inet.h>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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

        auto m = retainedOn(broker.port(), "t/retained");
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
    b.sync();
    EXPECT_TRUE(b.received().empty()) << "nothing more, and no marker";
}

TEST(MqttTestClient, SyncComesAfterEverythingPublishedBefore)
{
    Broker broker;
    broker.start();
    MqttTestClient a(broker.port()), b(broker.port());
    a.connect();
    b.connect();
    b.subscribe("#", 2); // sees its own markers too: they still stay out of what it received
    for (int i = 0; i < 50; ++i)
        a.publish("y/" + std::to_string(i % 3), std::to_string(i), i % 3);
    b.sync();
    b.sync();
    const auto got = b.received();
    ASSERT_EQ(got.size(), 50u);
    for (const auto& m : got)
        EXPECT_EQ(m.topic.rfind("y/", 0), 0u) << m.topic;
}

TEST(Retained, ALookIsCompleteAndHoldsOnlyRetainedMessages)
{
    Broker broker;
    broker.start();
    EXPECT_TRUE(retained(broker.port(), "#").empty());
    MqttTestClient pub(broker.port());
    pub.connect();
    // More than the broker lets be in flight to one client at a time, at every QoS.
    for (int i = 0; i < 60; ++i)
        pub.publish("r/" + std::to_string(i), "v" + std::to_string(i), i % 3, true);
    pub.publish("r/0", "", 2, true); // removed again
    pub.publish("live", "not kept", 2, false);

    const auto kept = retained(broker.port(), "#");
    ASSERT_EQ(kept.size(), 59u);
    for (const auto& m : kept) {
        EXPECT_TRUE(m.retain);
        EXPECT_EQ("v" + m.topic.substr(2), m.payload);
        EXPECT_EQ(m.qos, std::stoi(m.topic.substr(2)) % 3) << m.topic;
    }
    EXPECT_FALSE(retainedOn(broker.port(), "r/0"));
    ASSERT_TRUE(retainedOn(broker.port(), "r/7"));
    EXPECT_EQ(retainedOn(broker.port(), "r/7")->payload, "v7");
    EXPECT_TRUE(retained(broker.port(), "live").empty());
}

TEST(Retained, WaitsForAMessageStillOnItsWay)
{
    Broker broker;
    broker.start();
    std::thread late([&] {
        // Once the first look has subscribed, so that at least that one finds nothing.
        testsupport::waitUntil([&] { return broker.log().find("late/#") != std::string::npos; });
        MqttTestClient pub(broker.port());
        pub.connect();
        pub.publish("late/one", "1", 1, true);
    });
    const auto kept = retained(broker.port(), "late/#", 1u);
    late.join();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].payload, "1");
}

TEST(Broker, APortTakenByAnotherProgramIsNotTakenForTheBrokers)
{
    // Another program listens on the port the broker is told to use.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    const int port = ntohs(a.sin_port);
    EXPECT_TRUE(portAccepts(port));
    EXPECT_TRUE(listensOn(::getpid(), port));

    Broker taken(Broker::Options{false, port});
    try {
        taken.start();
        ADD_FAILURE() << "started on a port another program holds";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("is taken by another process"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(taken.running());
    ::close(fd);

    // The port is free again: now it is the broker's.
    taken.start();
    EXPECT_TRUE(listensOn(taken.pid(), port));
    EXPECT_FALSE(listensOn(::getpid(), port));
}

namespace {

/// The process is gone, or a zombie that its new parent has not reaped yet.
bool ended(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return true;
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

} // namespace

TEST(ChildProcess, AKilledTestLeavesNoBrokerAndNoChildBehind)
{
    int pids[2];
    ASSERT_EQ(::pipe(pids), 0);
    const pid_t test = ::fork();
    ASSERT_GE(test, 0);
    if (test == 0) {
        // A test process that is killed while its broker and its child run.
        ::close(pids[0]);
        Broker broker;
        broker.start();
        ChildProcess child({"/bin/sleep", "600"});
        const pid_t both[2] = {broker.pid(), child.pid()};
        if (::write(pids[1], both, sizeof both) != static_cast<ssize_t>(sizeof both))
            ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    ::close(pids[1]);
    pid_t both[2] = {0, 0};
    ASSERT_EQ(::read(pids[0], both, sizeof both), static_cast<ssize_t>(sizeof both));
    ::close(pids[0]);
    ASSERT_GT(both[0], 0);
    ASSERT_GT(both[1], 0);
    EXPECT_FALSE(ended(both[0]));
    EXPECT_FALSE(ended(both[1]));

    ::kill(test, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(test, &status, 0), test);
    EXPECT_TRUE(waitUntil([&] { return ended(both[0]); })) << "broker " << both[0] << " left running";
    EXPECT_TRUE(waitUntil([&] { return ended(both[1]); })) << "child " << both[1] << " left running";
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
