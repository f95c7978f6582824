// What a dock may do at the fleet broker with its own certificate: nothing under another dock's
// identity or topics; and the size limit of both brokers.
#include "fleet_fixture.h"

#include <fstream>

namespace fleettest {
namespace {

const std::string kState = "docks/A/bridge/state";

// The value of a "key value" line of a mosquitto configuration; -1 when it has none.
long configured(const std::string& path, const std::string& key)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + " ", 0) == 0)
            return std::stol(line.substr(key.size() + 1));
    return -1;
}

/// A client at the fleet broker's TLS listener with dock B's certificate.
std::unique_ptr<MqttTestClient> asDockB(testsupport::TestPki& pki, int tlsPort, const std::string& clientId,
                                        bool cleanSession = true)
{
    const auto cert = pki.client("B");
    auto c = std::make_unique<MqttTestClient>(tlsPort, clientId, cleanSession);
    c->tls(pki.caFile(), cert.cert, cert.key);
    return c;
}

TEST_F(FleetTest, ADocksCertificateNeverGetsAnotherDocksSession)
{
    addDock("A", {{"echo", "return args.msg"}});
    auto state = observer(kState);
    ASSERT_TRUE(waitForMessage(*state, kState, [](const MqttTestClient::Message& m) { return m.payload == "1"; }));

    // Dock A's bridge connects as "dock-A"; the broker knows it by its certificate's name, "A".
    for (const char* stolen : {"dock-A", "A"}) {
        auto impostor = asDockB(pki, fleet->tlsPort(), stolen, false);
        impostor->connect();
        // B got a session, but its own: its requests topic is readable, A's bridge is untouched.
        impostor->subscribe("docks/B/in/cmd/#");
        impostor->disconnect();
        state->sync();
        for (const auto& m : state->received())
            EXPECT_NE(m.payload, "0") << "dock A's bridge lost its connection to a client calling itself " << stolen;
    }
    const std::string log = fleet->log();
    EXPECT_EQ(log.find("already connected, closing old connection"), std::string::npos) << logTail(log);
    EXPECT_NE(log.find(" as B ("), std::string::npos) << "the impostor was not known by its certificate's name";

    // A's session still carries the fleet's requests to it.
    const auto run = request({"--dock", "A", "echo", R"({"msg": "still mine"})"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "A ok still mine\n");
}

TEST_F(FleetTest, ADockWritesOnlyWhatItsBridgeNeeds)
{
    addDock("A", {{"echo", "return args.msg"}});
    auto watcher = observer("docks/#");
    auto dockB = asDockB(pki, fleet->tlsPort(), "dock-B");
    dockB->connect();

    struct Case {
        std::string topic;
        bool passes;
    };
    const Case cases[] = {
        {"docks/A/in/cmd/forged", false},  // a job for another dock
        {"docks/A/out/cmd/forged", false}, // another dock's result
        {"docks/A/in/key/0000ABCD/request", false},
        {"docks/B/in/cmd/self", false}, // a job for itself: only the fleet sends those
        {"docks/B/in/other", false},
        {"docks/B/out/cmd/job", true}, // its own results, notifications and state
        {"docks/B/bridge/state", true},
        {"docks/B/in/key/0000ABCD/request", true}, // the clearing of a served key request
    };
    for (const auto& c : cases)
        dockB->publish(c.topic, "", 2, false);
    // Every publish above was complete before the watcher's marker went out.
    watcher->sync();
    std::vector<std::string> arrived;
    for (const auto& m : watcher->received())
        if (m.topic != kState)
            arrived.push_back(m.topic);
    for (const auto& c : cases)
        EXPECT_EQ(std::count(arrived.begin(), arrived.end(), c.topic), c.passes ? 1 : 0) << c.topic;
    EXPECT_FALSE(docks["A"]->service->waitForOutput("Received command request", 500ms));
}

TEST_F(FleetTest, ARetainedMessageAboveTheSizeLimitIsRefusedByEachBroker)
{
    auto& dock = addDock("A", {});
    struct Broker {
        const char* name;
        int port;
        long limit;
    };
    const Broker brokers[] = {
        {"fleet", fleet->plainPort(),
         configured(std::string(VEK_SOURCE_DIR) + "/examples/mosquitto-fleet.conf", "message_size_limit")},
        {"dock", dock.broker->port(), configured(dock.broker->configPath(), "message_size_limit")},
    };
    for (const auto& b : brokers) {
        ASSERT_GT(b.limit, 0) << b.name << " broker has no message_size_limit";
        auto c = clientOf(b.port);
        c->publish("size/fits", std::string(static_cast<size_t>(b.limit), 'x'), 2, true);
        c->publish("size/over", std::string(static_cast<size_t>(b.limit) + 1, 'x'), 2, true);
        std::vector<std::string> kept;
        for (const auto& m : testsupport::retained(b.port, "size/#"))
            kept.push_back(m.topic);
        EXPECT_EQ(kept, std::vector<std::string>{"size/fits"}) << b.name;
        c->publish("size/fits", "", 2, true);
    }
}

} // namespace
} // namespace fleettest
