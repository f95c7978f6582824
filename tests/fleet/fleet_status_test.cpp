// The daemons' status through the fleet: two docks bridged to the fleet broker, each with its own
// vek-command; their status records at the fleet broker and vek-request --status's table.
#include "fleet_fixture.h"
#include "tests/support/status_records.h"
#include "tests/support/wait.h"

#include <csignal>

namespace fleettest {
namespace {

using testsupport::decodeRecord;

class FleetStatusTest : public FleetTest {
protected:
    /// The state in the retained status record of the dock's vek-command at the fleet broker.
    std::string stateAtFleet(const std::string& id, std::optional<uint64_t>* stopped = nullptr)
    {
        const auto m = testsupport::retainedOn(fleet->plainPort(), "docks/" + id + "/out/status/vek-command");
        const auto record = m ? decodeRecord(m->payload) : std::nullopt;
        if (stopped)
            *stopped = record ? record->num("stopped") : std::nullopt;
        return record ? record->get("state") : "";
    }

    bool waitState(const std::string& id, const std::string& state)
    {
        return testsupport::waitUntil([&] { return stateAtFleet(id) == state; }, 10s);
    }

    void restartService(const std::string& id)
    {
        Dock& dock = *docks.at(id);
        dock.service = std::make_unique<testsupport::ChildProcess>(
            std::vector<std::string>{VEK_COMMAND, dock.dir.file("vek-command.conf")});
        ASSERT_TRUE(dock.service->waitForOutput("subscribed (msg:", 10s));
    }
};

TEST_F(FleetStatusTest, KilledRestartedAndStoppedServicesAtTheFleetBroker)
{
    addDock("A", {});
    ASSERT_TRUE(waitState("A", "online"));

    docks.at("A")->service->signal(SIGKILL);
    docks.at("A")->service->wait(10s);
    EXPECT_TRUE(waitState("A", "offline")) << "the last will did not reach the fleet";
    std::optional<uint64_t> stopped;
    stateAtFleet("A", &stopped);
    EXPECT_FALSE(stopped);

    restartService("A");
    EXPECT_TRUE(waitState("A", "online"));

    docks.at("A")->service->signal(SIGTERM);
    EXPECT_EQ(docks.at("A")->service->waitExitCode(10s), 0);
    EXPECT_TRUE(waitState("A", "offline"));
    stateAtFleet("A", &stopped);
    EXPECT_TRUE(stopped) << "a clean stop says when";
}

TEST_F(FleetStatusTest, StatusTableOfTwoDocksOneServiceStopped)
{
    addDock("A", {});
    addDock("B", {});
    ASSERT_TRUE(waitState("A", "online"));
    ASSERT_TRUE(waitState("B", "online"));

    auto run = request({"--status", "--all"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("A     up      vek-command  online"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("B     up      vek-command  online"), std::string::npos) << run.out;

    docks.at("B")->service->signal(SIGTERM);
    EXPECT_EQ(docks.at("B")->service->waitExitCode(10s), 0);
    ASSERT_TRUE(waitState("B", "offline"));

    run = request({"--status", "--all"});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    const auto lineOf = [&](const std::string& dock) {
        const auto at = run.out.find("\n" + dock + " ");
        return at == std::string::npos ? std::string() : run.out.substr(at + 1, run.out.find('\n', at + 1) - at - 1);
    };
    EXPECT_EQ(run.out.rfind("DOCK  BRIDGE  DAEMON       STATE    VERSION  SINCE\n", 0), 0u) << run.out;
    EXPECT_NE(lineOf("A").find("vek-command  online   "), std::string::npos) << run.out;
    EXPECT_NE(lineOf("B").find("vek-command  offline  "), std::string::npos) << run.out;
    EXPECT_NE(lineOf("B").find("Z"), std::string::npos) << "the time of the stop: " << run.out;

    // One dock only: the one that is up.
    run = request({"--status", "--dock", "A"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    run = request({"--status", "--json", "--dock", "A", "--dock", "B"});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("\"all_online\": false"), std::string::npos) << run.out;

    // The dock's broker goes: the bridge's will says the dock is out of reach.
    docks.at("A")->broker->stop();
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            const auto m = testsupport::retainedOn(fleet->plainPort(), "docks/A/bridge/state");
            return m && m->payload == "0";
        },
        15s));
    run = request({"--status", "--dock", "A"});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("A     down    vek-command"), std::string::npos) << run.out;
}

} // namespace
} // namespace fleettest
