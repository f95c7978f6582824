// A RabbitMQ node (its MQTT plugin) as the fleet broker. Skipped when rabbitmq-server is not
// installed. What holds with it: the bridge connects only without mosquitto's bridge flag, and
// only at QoS 1 (RabbitMQ answers a QoS 2 publish with a PUBACK, which ends the connection);
// results reach it retained, and an empty retained message clears them; its retained messages go
// only to subscriptions without wildcards.
#include "tests/support/broker.h"
#include "fleet_fixture.h"

#include <csignal>
#include <fstream>

namespace fleettest {
namespace {

const char* const kRabbit = "/usr/lib/rabbitmq/bin/rabbitmq-server";
const char* const kEpmd = "/usr/bin/epmd";

/// One RabbitMQ node with the MQTT plugin: a plain and a TLS MQTT listener on 127.0.0.1, its
/// Erlang port mapper on a port of its own, everything in a temporary directory.
class RabbitNode {
public:
    explicit RabbitNode(testsupport::TestPki& pki)
        : plainPort(testsupport::freeLoopbackPort()), tlsPort(testsupport::freeLoopbackPort()),
          _epmdPort(std::to_string(testsupport::freeLoopbackPort()))
    {
        ::mkdir(_dir.file("mnesia").c_str(), 0755);
        ::mkdir(_dir.file("log").c_str(), 0755);
        _dir.write("enabled_plugins", "[rabbitmq_mqtt].\n");
        _dir.write("rabbitmq.conf",
                   "listeners.tcp = none\n"
                   "mqtt.listeners.tcp.default = 127.0.0.1:" +
                       std::to_string(plainPort) +
                       "\n"
                       "mqtt.listeners.ssl.default = 127.0.0.1:" +
                       std::to_string(tlsPort) +
                       "\n"
                       "ssl_options.cacertfile = " +
                       pki.caFile() +
                       "\n"
                       "ssl_options.certfile = " +
                       pki.server().cert +
                       "\n"
                       "ssl_options.keyfile = " +
                       pki.server().key +
                       "\n"
                       "ssl_options.verify = verify_peer\n"
                       "ssl_options.fail_if_no_peer_cert = true\n"
                       "mqtt.allow_anonymous = true\n"
                       "mqtt.default_user = guest\n"
                       "mqtt.default_pass = guest\n");
        _env = {{"RABBITMQ_NODENAME", "vektest" + std::to_string(plainPort) + "@localhost"},
                {"RABBITMQ_NODE_IP_ADDRESS", "127.0.0.1"},
                {"RABBITMQ_DIST_PORT", std::to_string(testsupport::freeLoopbackPort())},
                {"RABBITMQ_MNESIA_BASE", _dir.file("mnesia")},
                {"RABBITMQ_LOG_BASE", _dir.file("log")},
                {"RABBITMQ_CONFIG_FILE", _dir.file("rabbitmq")},
                {"RABBITMQ_ENABLED_PLUGINS_FILE", _dir.file("enabled_plugins")},
                {"RABBITMQ_PID_FILE", _dir.file("pid")},
                {"ERL_EPMD_ADDRESS", "127.0.0.1"},
                {"ERL_EPMD_PORT", _epmdPort},
                {"HOME", _dir.path()}};
        _process = std::make_unique<testsupport::ChildProcess>(std::vector<std::string>{kRabbit}, _env);
    }

    ~RabbitNode()
    {
        // The start script does not pass signals on: the Erlang VM is stopped by its own pid.
        const std::string pid = testsupport::readFile(_dir.file("pid"));
        if (!pid.empty() && std::stoi(pid) > 0)
            ::kill(std::stoi(pid), SIGTERM);
        _process->wait(20s);
        _process.reset();
        testsupport::runProgram({kEpmd, "-port", _epmdPort, "-kill"}, 10s);
    }

    /// Waits until both MQTT listeners accept connections (the node needs about 20 s to boot).
    bool waitStarted(std::chrono::milliseconds timeout = 90s)
    {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline && _process->running()) {
            if (testsupport::portAccepts(plainPort) && testsupport::portAccepts(tlsPort))
                return true;
            std::this_thread::sleep_for(200ms);
        }
        return false;
    }

    std::string output() const { return _process->stdoutText() + _process->stderrText(); }

    const int plainPort, tlsPort;

private:
    testsupport::TempDir _dir;
    std::string _epmdPort;
    std::map<std::string, std::string> _env;
    std::unique_ptr<testsupport::ChildProcess> _process;
};

TEST(FleetRabbitMqTest, BridgeAtQos1WithoutTheBridgeFlagCarriesJobsAndRetainedResultsSlow)
{
    if (!testsupport::fileExists(kRabbit))
        GTEST_SKIP() << "rabbitmq-server is not installed (apt-get install rabbitmq-server to run this test)";
    testsupport::TestPki pki;
    RabbitNode rabbit(pki);
    ASSERT_TRUE(rabbit.waitStarted()) << rabbit.output();

    testsupport::DockBroker dock("A", pki, rabbit.tlsPort, VEK_SOURCE_DIR,
                                 {"--no-bridge-flag", "--qos", "1", "--username", "guest", "--password", "guest"});
    testsupport::TempDir dir;
    ::mkdir(dir.file("scripts").c_str(), 0755);
    ::mkdir(dir.file("staging").c_str(), 0755);
    dir.write("scripts/echo.lua", "return args.msg");
    const std::string conf =
        dir.write("vek-command.conf",
                  "server_comms.host=127.0.0.1\nserver_comms.port=" + std::to_string(dock.port()) +
                      "\nscript.search_dirs=" + dir.file("scripts") + "\nscript.staging_dir=" + dir.file("staging") +
                      "\nlog4cpp.rootCategory=INFO, out\nlog4cpp.category.server_comms=DEBUG\n"
                      "log4cpp.appender.out=FileAppender\nlog4cpp.appender.out.fileName=/dev/stdout\n"
                      "log4cpp.appender.out.layout=PatternLayout\n"
                      "log4cpp.appender.out.layout.ConversionPattern=%p [%c] %m%n\n");
    testsupport::ChildProcess service({VEK_COMMAND, conf});
    ASSERT_TRUE(service.waitForOutput("subscribed (msg:", 10s)) << service.stdoutText();

    auto server = clientOf(rabbit.plainPort, "docks/A/bridge/state");
    ASSERT_TRUE(waitForMessage(
        *server, "docks/A/bridge/state", [](const MqttTestClient::Message& m) { return m.payload == "1"; }, 30s))
        << "bridge not up:\n"
        << logTail(dock.log());

    // A job through vek-request at QoS 1.
    const auto run =
        testsupport::runProgram({VEK_REQUEST, "-H", "127.0.0.1", "-p", std::to_string(rabbit.plainPort), "-q", "1",
                                 "--dock", "A", "-t", "20", "echo", R"({"msg": "via the cluster"})"},
                                60s);
    EXPECT_EQ(run.status, 0) << run.err << logTail(dock.log());
    EXPECT_EQ(run.out, "A ok via the cluster\n");

    // A result reaches it retained and goes with the end of the transaction.
    server->subscribe("docks/A/out/cmd/job-1", 1);
    const std::string request = std::string("\x82\xaalua_script\xa4"
                                            "echo\xa4"
                                            "args\x81\xa3msg\xa2hi",
                                            30);
    server->publish("docks/A/in/cmd/job-1", request, 1, false);
    ASSERT_TRUE(server->waitFor("docks/A/out/cmd/job-1", 20s));
    const auto kept = retainedAt(rabbit.plainPort, "docks/A/out/cmd/job-1", 1);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(kept[0].retain);
    EXPECT_EQ(kept[0].payload, "hi");
    server->publish("docks/A/in/cmd/job-1", "", 1, true);
    EXPECT_TRUE(waitForMessage(*server, "docks/A/out/cmd/job-1",
                               [](const MqttTestClient::Message& m) { return m.payload.empty(); }));
    EXPECT_TRUE(testsupport::waitUntil([&] {
        return retainedAt(rabbit.plainPort, "docks/A/out/cmd/job-1", 0).empty();
    })) << "the end of the transaction leaves the result retained";
}

} // namespace
} // namespace fleettest
