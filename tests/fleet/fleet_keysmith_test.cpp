// The key update daemon behind a bridge: keysmith on a dock, against the emulated key and board,
// and the fleet's server at the fleet broker under docks/<dock>/.
#include "tests/keysmith/daemon_fixture.h"
#include "fleet_fixture.h"
#include "tests/support/retained.h"
#include "tests/support/wait.h"

namespace {

using namespace keysmithtest;

class FleetKeysmithTest : public DaemonTest {
protected:
    const std::string kPrefix = "docks/A/";

    void TearDown() override
    {
        if (HasFailure() && fleet)
            std::cerr << "--- fleet broker log (end)\n"
                      << fleettest::logTail(fleet->log()) << "--- dock broker log (end)\n"
                      << fleettest::logTail(dock->log()) << "--- keysmith log (end)\n"
                      << fleettest::logTail(testsupport::readFile(logPath()), 200);
        DaemonTest::TearDown();
    }

    /// Fleet broker, dock A's broker bridged to it, and the server at the fleet broker
    /// subscribed to the dock's key topics. The daemon will use the dock's broker.
    void startFleet()
    {
        fleet = std::make_unique<testsupport::FleetBroker>(pki, VEK_SOURCE_DIR);
        dock = std::make_unique<testsupport::DockBroker>("A", pki, *fleet, VEK_SOURCE_DIR);
        settings["vek.broker.port"] = std::to_string(dock->port());
        settings["vek.broker.username"] = "keysmith";
        settings["vek.broker.password_file"] = dock->passwordFile("keysmith");
        fleetServer = fleettest::clientOf(fleet->plainPort(), "docks/A/bridge/state");
        ASSERT_TRUE(fleettest::waitForMessage(*fleetServer, "docks/A/bridge/state",
                                              [](const MqttTestClient::Message& m) { return m.payload == "1"; }));
        fleetServer->subscribe(kPrefix + "out/key/#", 2);
        fleetServer->subscribe(kPrefix + "in/key/#", 2);
    }

    testsupport::TestPki pki;
    std::unique_ptr<testsupport::FleetBroker> fleet;
    std::unique_ptr<testsupport::DockBroker> dock;
    std::unique_ptr<MqttTestClient> fleetServer;
};

TEST_F(FleetKeysmithTest, NotificationRequestAndResultCrossTheBridgeRetained)
{
    plugKey("8.9.1");
    makeStore("8.9.4");
    startFleet();
    startDaemon();

    const auto note = fleetServer->waitFor(kPrefix + kNotificationTopic, 30s);
    ASSERT_TRUE(note) << "no notification at the fleet broker";
    EXPECT_EQ(hex(note->payload), hex(bytes({0x91}) + msgpackUint(packedVersion(8, 9, 1))));
    // Answered while the daemon waits for it, retained, as a server does.
    requestOnceNotified(
        [&] { fleetServer->publish(kPrefix + kRequestTopic, boolAndVersion(true, packedVersion(8, 9, 4)), 2, true); });

    const auto result = fleetServer->waitFor(kPrefix + kResultTopic, 30s);
    ASSERT_TRUE(result) << "no result at the fleet broker";
    EXPECT_EQ(hex(result->payload), "92 C3 CE 00 08 09 04");
    EXPECT_TRUE(fleettest::waitForMessage(*fleetServer, kPrefix + kRequestTopic, [](const MqttTestClient::Message& m) {
        return m.payload.empty();
    })) << "the daemon's clearing of the request did not reach the fleet broker";
    ASSERT_TRUE(waitForLog("Starting MOXlink again", 1, 10s));
    EXPECT_EQ(key->file().unpacked.data, firmware) << "firmware arrived byte-identical";

    // Notification, progress and result are retained on both sides; the request on neither.
    const auto check = [](const std::vector<MqttTestClient::Message>& kept, const std::string& prefix) {
        std::vector<std::string> topics;
        for (const auto& m : kept) {
            EXPECT_TRUE(m.retain) << m.topic;
            topics.push_back(m.topic);
        }
        std::sort(topics.begin(), topics.end());
        EXPECT_EQ(topics,
                  (std::vector<std::string>{prefix + kNotificationTopic, prefix + "out/key/00A1B2C3/progress",
                                            prefix + kResultTopic}));
    };
    check(testsupport::retained(fleet->plainPort(), kPrefix + "+/key/#"), kPrefix);
    check(testsupport::retained(dock->port(), "+/key/#"), "");
}

} // namespace
