#include <tavlo/client.h>

#include "tests/support/log_capture.h"

#include <gtest/gtest.h>
#include <log4cpp/Priority.hh>
#include <mosquitto.h>
#include <string>
#include <vector>

namespace {

using log4cpp::Priority;
using testsupport::LogCapture;

mosquitto_message makeMessage(const char* topic, int payloadlen, int qos, bool retain)
{
    mosquitto_message m{};
    m.mid = 3;
    m.topic = const_cast<char*>(topic);
    m.payload = const_cast<char*>("secret-payload");
    m.payloadlen = payloadlen;
    m.qos = qos;
    m.retain = retain;
    return m;
}

TEST(LogMessageTest, DumpText)
{
    LogCapture capture("tavlo_test.dump");
    log4cpp::Category& category = log4cpp::Category::getInstance("tavlo_test.dump");
    const char* topic = "in/key/00A1B2C3/x/y";
    mosquitto_message m = makeMessage(topic, 14, 2, true);
    tavlo::Filter filter("in/key/+/#");
    tavlo::log_message(Priority::INFO, category, filter.captureFilterVariables(topic).getWildcards(), &m);

    const std::string expected = "\n================= MESSAGE ===================\n"
                                 "  topic: in/key/00A1B2C3/x/y\n"
                                 "  var 1: 00A1B2C3\n"
                                 "  var 2: x/y\n"
                                 "  QoS: 2\n"
                                 "  retained: 1\n\n"
                                 "  msg length: 14\n"
                                 "=============================================";
    ASSERT_EQ(capture.entries().size(), 1u);
    EXPECT_TRUE(capture.has("tavlo_test.dump", Priority::INFO, expected));
    EXPECT_EQ(capture.count("secret"), 0u);
}

TEST(LogMessageTest, NoWildcardsNoVarLines)
{
    LogCapture capture("tavlo_test.dump");
    log4cpp::Category& category = log4cpp::Category::getInstance("tavlo_test.dump");
    mosquitto_message m = makeMessage("a/b", 0, 0, false);
    tavlo::log_message(Priority::DEBUG, category, {}, &m);
    EXPECT_TRUE(capture.has("tavlo_test.dump", Priority::DEBUG,
                            "\n================= MESSAGE ===================\n  topic: a/b\n  QoS: 0\n"
                            "  retained: 0\n\n  msg length: 0\n============================================="));
}

// A category that reports every priority as disabled and records whether anything reached it.
class ClosedCategory : public log4cpp::Category {
public:
    ClosedCategory() : log4cpp::Category("tavlo_test.closed", nullptr) {}
    bool isPriorityEnabled(log4cpp::Priority::Value priority) const throw() override
    {
        asked = priority;
        return false;
    }
    void log(log4cpp::Priority::Value, const std::string&) throw() override { ++logged; }
    mutable int asked = -1;
    int logged = 0;
};

TEST(LogMessageTest, DisabledPriorityFormatsNothing)
{
    ClosedCategory category;
    mosquitto_message m = makeMessage("a/b", 1, 0, false);
    tavlo::log_message(Priority::DEBUG, category, {tavlo::Wildcard(0, false)}, &m);
    EXPECT_EQ(category.asked, Priority::DEBUG);
    EXPECT_EQ(category.logged, 0);
}

TEST(MosqPriorityTest, Table)
{
    const std::pair<int, int> table[] = {
        {MOSQ_LOG_NONE, Priority::NOTSET},      {MOSQ_LOG_INFO, Priority::INFO}, {MOSQ_LOG_NOTICE, Priority::NOTICE},
        {MOSQ_LOG_WARNING, Priority::WARN},     {MOSQ_LOG_ERR, Priority::ERROR}, {MOSQ_LOG_DEBUG, Priority::DEBUG},
        {MOSQ_LOG_SUBSCRIBE, Priority::NOTSET}, {3, Priority::NOTSET},           {-1, Priority::NOTSET},
    };
    for (const auto& [level, priority] : table) {
        SCOPED_TRACE(level);
        EXPECT_EQ(tavlo::mosq_to_l4cpp_prio(level), priority);
    }
}

class ClientCallbackTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mosqpp::lib_init(); }
    static void TearDownTestSuite() { mosqpp::lib_cleanup(); }
    LogCapture capture;
};

TEST_F(ClientCallbackTest, CallbackTexts)
{
    tavlo::Client client({"tavlo-callbacks", true, true}, "tavlo_test.client");
    EXPECT_TRUE(capture.has("tavlo_test.client", Priority::DEBUG, "Created tavlo::Client"));

    const int granted[] = {2, 0};
    client.on_subscribe(5, 2, granted);
    client.on_subscribe(6, 0, nullptr);
    client.on_subscribe(7, 0, granted); // an empty list has no first value
    client.on_publish(8);
    client.on_unsubscribe(9);
    client.on_log(MOSQ_LOG_WARNING, "100% %s %n verbatim");
    client.on_log(MOSQ_LOG_SUBSCRIBE, "at NOTSET, below every threshold");
    client.on_error();

    const std::vector<LogCapture::Entry> expected = {
        {"tavlo_test.client", Priority::DEBUG, "subscribed (msg:5), qos: 2, granted: 2"},
        {"tavlo_test.client", Priority::DEBUG, "subscribed (msg:6), qos: 0, granted: -1"},
        {"tavlo_test.client", Priority::DEBUG, "subscribed (msg:7), qos: 0, granted: -1"},
        {"tavlo_test.client", Priority::DEBUG, "published msg: 8"},
        {"tavlo_test.client", Priority::DEBUG, "unsubscribed (msg:9)"},
        {"mosq", Priority::WARN, "100% %s %n verbatim"},
        {"mosq", Priority::ERROR, "mosquittopp encountered an error. We have no further information"},
    };
    std::vector<LogCapture::Entry> got = capture.entries();
    got.erase(got.begin()); // "Created tavlo::Client"
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(got[i].category, expected[i].category) << i;
        EXPECT_EQ(got[i].priority, expected[i].priority) << i;
        EXPECT_EQ(got[i].message, expected[i].message) << i;
    }
}

TEST_F(ClientCallbackTest, ConnectionOutcomes)
{
    tavlo::Client client({"tavlo-connect", true, true}, nullptr);
    // Silent before the first accepted connection.
    client.on_disconnect(MOSQ_ERR_CONN_LOST);
    client.on_connect(0, MOSQ_ERR_CONN_REFUSED);
    EXPECT_FALSE(client.wasEverConnected());
    EXPECT_TRUE(capture.has("tavloClient", Priority::ERROR, "Connection failed. The connection was refused."));
    EXPECT_EQ(capture.messages("tavloClient").size(), 2u); // created, failed

    client.on_connect(1, 0);
    EXPECT_TRUE(client.wasEverConnected());
    EXPECT_TRUE(capture.has("tavloClient", Priority::INFO, "Connection up. Session already present"));
    client.on_disconnect(MOSQ_ERR_CONN_LOST);
    EXPECT_TRUE(capture.has("tavloClient", Priority::WARN, "The connection was lost."));
    EXPECT_TRUE(client.wasEverConnected()) << "a lost connection does not undo the first one";
    // The plain callback of the base does nothing; only the one with the flags acts.
    client.on_connect(0);
    EXPECT_EQ(capture.count("Connection up"), 1u);
}

TEST_F(ClientCallbackTest, RegistrationMergesFilters)
{
    struct Nop : tavlo::Handler {
        using tavlo::Handler::Handler;
        void onMessage(const tavlo::FilterVariables&, const mosquitto_message*, tavlo::Client&) override {}
    };
    Nop low("low", "dev/+/state", 0), high("high", "dev/+/state", 2), mid("mid", "dev/+/state", 1),
        other("other", "dev/+/state/", 1);
    tavlo::Client client({"tavlo-register", true, true}, nullptr);
    try {
        client.registerHandler(nullptr);
        ADD_FAILURE() << "no tavlo::Error";
    } catch (const tavlo::Error& e) {
        EXPECT_STREQ(e.what(), "Client::registerHandler passed null handler");
        EXPECT_EQ(e.mosquittoCode(), 0) << "misuse is not a mosquitto failure";
    }
    EXPECT_TRUE(client.subscriptions().empty());

    for (tavlo::Handler* h : std::vector<tavlo::Handler*>{&low, &high, &mid, &other})
        client.registerHandler(h);
    ASSERT_EQ(client.subscriptions().size(), 2u);
    const tavlo::Subscription& merged = client.subscriptions()[0];
    EXPECT_EQ(merged.filter().topicFilter(), "dev/+/state");
    EXPECT_EQ(merged.qos(), 2);
    EXPECT_EQ(merged.handlers(), (std::vector<tavlo::Handler*>{&low, &high, &mid}));
    EXPECT_FALSE(merged.isSubscribed());
    EXPECT_EQ(client.subscriptions()[1].filter().topicFilter(), "dev/+/state/");

    EXPECT_EQ(capture.messages("tavloClient"),
              (std::vector<std::string>{
                  "Created tavlo::Client",
                  "Client::registerHandler adding handler \"low\"",
                  "Subscription does not exist for handler \"low\". Adding it",
                  "Client::registerHandler adding handler \"high\"",
                  "Found subscription \"dev/+/state\" already exists. Adding handler \"high\" to it",
                  "Client::registerHandler adding handler \"mid\"",
                  "Found subscription \"dev/+/state\" already exists. Adding handler \"mid\" to it",
                  "Client::registerHandler adding handler \"other\"",
                  "Subscription does not exist for handler \"other\". Adding it",
              }));
}

} // namespace
