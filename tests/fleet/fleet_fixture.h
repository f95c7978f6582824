#pragma once
// A fleet in one machine: the fleet broker (TLS for bridges and remote clients, a plain loopback
// listener for the fleet's own server, here the tests' observers), dock brokers bridged to it,
// and on each dock the real vek-command. vek-request talks to the fleet broker over TLS with the
// certificate of the fleet's server.

#include "tests/support/child_process.h"
#include "tests/support/fleet_brokers.h"
#include "tests/support/mqtt_test_client.h"
#include "tests/support/retained.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace fleettest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::MqttTestClient;

/// A client of the fleet broker's plain listener, subscribed to the filter (none when empty).
inline std::unique_ptr<MqttTestClient> clientOf(int port, const std::string& filter = "")
{
    auto c = std::make_unique<MqttTestClient>(port);
    c->connect();
    if (!filter.empty())
        c->subscribe(filter);
    return c;
}

/// What a client that subscribes now gets, for a broker that cannot take the QoS 2 sync marker of
/// testsupport::retained (a RabbitMQ node); mosquitto brokers use that instead. Waits until at
/// least `atLeast` messages came. Nothing marks the end of the retained messages there, so with
/// `atLeast` 0 it is what came within a window, which only a late message can get past.
inline std::vector<MqttTestClient::Message> retainedAt(int port, const std::string& filter, size_t atLeast)
{
    auto fresh = clientOf(port, filter);
    if (atLeast == 0)
        std::this_thread::sleep_for(300ms);
    else
        testsupport::waitUntil([&] { return fresh->received().size() >= atLeast; });
    return fresh->received();
}

/// The topics of the messages that are not among the allowed ones. The daemons' status records
/// ("out/status/...") stay by design and are not counted.
inline std::vector<std::string> topicsBesides(const std::vector<MqttTestClient::Message>& messages,
                                              const std::vector<std::string>& allowed)
{
    std::vector<std::string> extra;
    for (const auto& m : messages) {
        const bool status = m.topic.rfind("out/status/", 0) == 0 || m.topic.find("/out/status/") != std::string::npos;
        if (!status && std::find(allowed.begin(), allowed.end(), m.topic) == allowed.end())
            extra.push_back(m.topic);
    }
    return extra;
}

/// Waits until nothing but the listed topics is retained under the filter on this mosquitto
/// broker; the rest when it stays.
inline std::vector<std::string> waitRetainedOnly(int port, const std::string& filter,
                                                 const std::vector<std::string>& allowed,
                                                 std::chrono::milliseconds timeout = 10s)
{
    const auto deadline = Clock::now() + timeout;
    std::vector<std::string> extra;
    do {
        extra = topicsBesides(testsupport::retained(port, filter), allowed);
        if (!extra.empty())
            std::this_thread::sleep_for(50ms);
    } while (!extra.empty() && Clock::now() < deadline);
    return extra;
}

/// Waits for a message on the topic that satisfies the check.
template <typename Check>
std::optional<MqttTestClient::Message> waitForMessage(MqttTestClient& c, const std::string& topic, Check check,
                                                      std::chrono::milliseconds timeout = 20s)
{
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        auto m = c.waitFor(topic, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
        if (m && check(*m))
            return m;
    }
    return std::nullopt;
}

/// The last lines of a log.
inline std::string logTail(const std::string& text, size_t lines = 40)
{
    size_t at = text.size();
    while (lines-- > 0 && at > 0) {
        const auto nl = text.rfind('\n', at - 1);
        if (nl == std::string::npos)
            return text;
        at = nl;
    }
    return text.substr(at);
}

class FleetTest : public ::testing::Test {
protected:
    struct Dock {
        std::unique_ptr<testsupport::DockBroker> broker;
        testsupport::TempDir dir;
        std::unique_ptr<testsupport::ChildProcess> service;
    };

    void SetUp() override { fleet = std::make_unique<testsupport::FleetBroker>(pki, VEK_SOURCE_DIR); }

    void TearDown() override
    {
        if (HasFailure()) {
            std::cerr << "--- fleet broker log (end)\n" << logTail(fleet->log());
            for (auto& [id, dock] : docks)
                std::cerr << "--- dock " << id << " broker log (end)\n"
                          << logTail(dock->broker->log()) << "--- dock " << id << " service\n"
                          << (dock->service ? logTail(dock->service->stdoutText()) : "");
        }
        for (auto& [id, dock] : docks)
            dock->service.reset(); // before the brokers
    }

    /// A dock: its broker bridged to the fleet, and vek-command on it with these job scripts
    /// (name without ".lua", body). Returns when the bridge is up and the service subscribed.
    Dock& addDock(const std::string& id, const std::map<std::string, std::string>& scripts)
    {
        auto dock = std::make_unique<Dock>();
        dock->broker = std::make_unique<testsupport::DockBroker>(id, pki, *fleet, VEK_SOURCE_DIR);
        ::mkdir(dock->dir.file("scripts").c_str(), 0755);
        ::mkdir(dock->dir.file("staging").c_str(), 0755);
        for (const auto& [name, body] : scripts)
            dock->dir.write("scripts/" + name + ".lua", body);
        const std::string conf = dock->dir.write("vek-command.conf",
                                                 "server_comms.host=127.0.0.1\n"
                                                 "server_comms.port=" +
                                                     std::to_string(dock->broker->port()) +
                                                     "\n"
                                                     "server_comms.username=vek-command\n"
                                                     "server_comms.password_file=" +
                                                     dock->broker->passwordFile("vek-command") +
                                                     "\n"
                                                     "script.search_dirs=" +
                                                     dock->dir.file("scripts") +
                                                     "\n"
                                                     "script.staging_dir=" +
                                                     dock->dir.file("staging") +
                                                     "\n"
                                                     "log4cpp.rootCategory=INFO, out\n"
                                                     "log4cpp.category.server_comms=DEBUG\n"
                                                     "log4cpp.appender.out=FileAppender\n"
                                                     "log4cpp.appender.out.fileName=/dev/stdout\n"
                                                     "log4cpp.appender.out.layout=PatternLayout\n"
                                                     "log4cpp.appender.out.layout.ConversionPattern=%p [%c] %m%n\n");
        dock->service = std::make_unique<testsupport::ChildProcess>(std::vector<std::string>{VEK_COMMAND, conf});
        Dock& added = *(docks[id] = std::move(dock));
        EXPECT_TRUE(waitBridged(id)) << "the bridge of dock " << id << " did not come up";
        EXPECT_TRUE(added.service->waitForOutput("subscribed (msg:", 10s))
            << "vek-command on dock " << id << " did not subscribe:\n"
            << added.service->stdoutText();
        return added;
    }

    /// The dock's bridge reports itself connected at the fleet broker.
    bool waitBridged(const std::string& id, std::chrono::milliseconds timeout = 15s)
    {
        const std::string topic = "docks/" + id + "/bridge/state";
        auto c = clientOf(fleet->plainPort(), topic);
        return waitForMessage(
                   *c, topic, [](const MqttTestClient::Message& m) { return m.payload == "1"; }, timeout)
            .has_value();
    }

    /// vek-request's command line against the fleet broker's TLS listener, as the fleet's server.
    std::vector<std::string> requestCommand(const std::vector<std::string>& args)
    {
        const auto server = pki.client("fleet-server");
        std::vector<std::string> argv{
            VEK_REQUEST, "-H",         "127.0.0.1", "-p",        std::to_string(fleet->tlsPort()),
            "--cafile",  pki.caFile(), "--cert",    server.cert, "--key",
            server.key};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    testsupport::ProgramRun request(const std::vector<std::string>& args)
    {
        return testsupport::runProgram(requestCommand(args), 60s);
    }

    std::unique_ptr<MqttTestClient> observer(const std::string& filter = "")
    {
        return clientOf(fleet->plainPort(), filter);
    }

    testsupport::TestPki pki;
    std::unique_ptr<testsupport::FleetBroker> fleet;
    std::map<std::string, std::unique_ptr<Dock>> docks;
};

} // namespace fleettest
