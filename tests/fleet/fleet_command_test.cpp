// Command requests through a fleet: vek-request at the fleet broker, two docks bridged to it,
// each with its own vek-command.
#include "fleet_fixture.h"

#include <cerrno>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fleettest {
namespace {

using testsupport::ChildProcess;

const std::string kEcho = "return args.msg";

// A request map {"lua_script": script, "args": {"msg": msg}} for hand-driven requests.
std::string echoRequest(const std::string& msg)
{
    return std::string("\x82\xaalua_script\xa4"
                       "echo\xa4"
                       "args\x81\xa3msg",
                       27) +
        static_cast<char>(0xa0 | msg.size()) + msg;
}

const std::string kState = "docks/A/bridge/state";

TEST_F(FleetTest, FanOutGetsOneLinePerDockAndEndsEveryTransactionSlow)
{
    addDock("A", {{"echo", kEcho}, {"where", "return 'dock A'"}, {"lines", "return 'one\\ntwo\\\\'"}});
    addDock("B", {{"echo", kEcho}});
    auto watcher = observer("docks/+/out/cmd/#");

    auto run = request({"--dock", "A", "--dock", "B", "echo", R"({"msg": "hello \u00e9"})"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "A ok hello \xc3\xa9\nB ok hello \xc3\xa9\n");

    // One dock without the script: every dock answered, one failed.
    run = request({"--dock", "B", "--dock", "A", "where"});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out, "B failed Cannot run job. Script not found \"where.lua\"\nA ok dock A\n");

    // A dock that is not there: the others still answer, the line says why, the status is 2.
    run = request({"-t", "3", "--dock", "A", "--prefix", "docks/ghost/", "lines"});
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(run.out, "A ok one\\ntwo\\\\\ndocks/ghost/ failed no answer within 3 s\n");

    // Each result went out and was cleared again at the fleet broker: five results, five clears.
    size_t results = 0, cleared = 0;
    for (const auto deadline = Clock::now() + 10s; (results < 5 || cleared < 5) && Clock::now() < deadline;)
        if (auto m = watcher->next(100ms))
            (m->payload.empty() ? cleared : results)++;
    EXPECT_EQ(results, 5u);
    EXPECT_EQ(cleared, 5u);
    // Nothing is left behind: no request, no result, here or on the docks.
    EXPECT_EQ(waitRetainedOnly(fleet->plainPort(), "docks/#", {kState, "docks/B/bridge/state"}),
              std::vector<std::string>{});
    for (const char* id : {"A", "B"})
        EXPECT_EQ(waitRetainedOnly(docks[id]->broker->port(), "#", {"docks/" + std::string(id) + "/bridge/state"}),
                  std::vector<std::string>{})
            << "dock " << id;
}

TEST_F(FleetTest, RetainedResultCrossesTheBridgeAndGoesWithTheTransaction)
{
    addDock("A", {{"echo", kEcho}});
    auto server = observer("docks/A/out/cmd/#");

    server->publish("docks/A/in/cmd/job-1", echoRequest("hi"), 2, true);
    const auto result = server->waitFor("docks/A/out/cmd/job-1", 20s);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->payload, "hi");

    // A late subscriber at the fleet broker and one on the dock both find it retained.
    for (int port : {fleet->plainPort(), docks["A"]->broker->port()}) {
        const auto topic = port == fleet->plainPort() ? std::string("docks/A/out/cmd/job-1") : "out/cmd/job-1";
        const auto kept = testsupport::retained(port, topic);
        ASSERT_EQ(kept.size(), 1u) << topic;
        EXPECT_TRUE(kept[0].retain);
        EXPECT_EQ(kept[0].payload, "hi");
    }

    // The end of the transaction: the service clears its result, and the clearing reaches the
    // fleet broker as an empty retained message.
    server->publish("docks/A/in/cmd/job-1", "", 2, true);
    EXPECT_TRUE(waitForMessage(*server, "docks/A/out/cmd/job-1",
                               [](const MqttTestClient::Message& m) { return m.payload.empty(); }));
    EXPECT_EQ(waitRetainedOnly(fleet->plainPort(), "docks/A/#", {kState}), std::vector<std::string>{});
    EXPECT_EQ(waitRetainedOnly(docks["A"]->broker->port(), "#", {kState}), std::vector<std::string>{});
}

TEST_F(FleetTest, DockBrokerRestartLosesNeitherRequestsNorTheirEndsSlow)
{
    addDock("A", {{"echo", kEcho}});
    auto server = observer("docks/A/#");
    auto& dock = *docks["A"];

    // Sent while the dock's broker is down: the fleet broker holds request and end for the bridge.
    dock.broker->stop();
    auto timedOut = request({"-t", "1", "--dock", "A", "echo", R"({"msg": "early"})"});
    EXPECT_EQ(timedOut.status, 2);
    EXPECT_EQ(timedOut.out, "A failed no answer within 1 s\n");

    ChildProcess late(requestCommand({"-t", "60", "--dock", "A", "echo", R"({"msg": "late"})"}));
    // The second request has reached the fleet broker before the dock's broker comes back.
    bool sent = false;
    for (auto deadline = Clock::now() + 20s; !sent && Clock::now() < deadline;)
        if (auto m = server->next(1s))
            sent = m->topic.rfind("docks/A/in/cmd/", 0) == 0 && m->payload.find("late") != std::string::npos;
    ASSERT_TRUE(sent);

    dock.broker->start();
    ASSERT_EQ(late.waitExitCode(60s), 0) << late.stderrText();
    EXPECT_EQ(late.stdoutText(), "A ok late\n");
    // The early job ran after the restart too, and its end followed it: nothing is left.
    EXPECT_EQ(waitRetainedOnly(fleet->plainPort(), "docks/A/#", {kState}), std::vector<std::string>{});
    EXPECT_EQ(waitRetainedOnly(dock.broker->port(), "#", {kState}), std::vector<std::string>{});
    EXPECT_TRUE(dock.service->waitForOutput("is to run lua script: echo", 10s));
}

TEST_F(FleetTest, OnlyTrustedCertificatesReachTheFleetAndEachDockItsOwnTopics)
{
    addDock("A", {{"echo", kEcho}});
    const auto tls = std::to_string(fleet->tlsPort());
    const auto stranger = pki.untrusted("fleet-server");
    const auto dockB = pki.client("B");
    struct Case {
        const char* name;
        std::vector<std::string> argv;
    };
    const Case refused[] = {
        {"plain TCP", {VEK_REQUEST, "-H", "127.0.0.1", "-p", tls, "-t", "5", "--dock", "A", "echo"}},
        {"no client certificate",
         {VEK_REQUEST, "-H", "127.0.0.1", "-p", tls, "--cafile", pki.caFile(), "-t", "5", "--dock", "A", "echo"}},
        {"certificate of another CA",
         {VEK_REQUEST, "-H", "127.0.0.1", "-p", tls, "--cafile", pki.caFile(), "--cert", stranger.cert, "--key",
          stranger.key, "-t", "5", "--dock", "A", "echo"}},
    };
    for (const auto& c : refused) {
        const auto run = testsupport::runProgram(c.argv);
        EXPECT_EQ(run.status, 2) << c.name << ": " << run.out << run.err;
        EXPECT_EQ(run.out, "") << c.name;
        EXPECT_NE(run.err.find("connect"), std::string::npos) << c.name << ": " << run.err;
    }
    // Dock B's certificate is let in, but its requests for dock A go nowhere.
    const auto run =
        testsupport::runProgram({VEK_REQUEST, "-H", "127.0.0.1", "-p", tls, "--cafile", pki.caFile(), "--cert",
                                 dockB.cert, "--key", dockB.key, "-t", "1", "--dock", "A", "echo"});
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(run.out, "A failed no answer within 1 s\n");
    EXPECT_FALSE(docks["A"]->service->waitForOutput("Received command request", 500ms));
    EXPECT_EQ(waitRetainedOnly(fleet->plainPort(), "docks/#", {kState}), std::vector<std::string>{});

    const auto trusted = request({"--dock", "A", "echo", R"({"msg": "in"})"});
    EXPECT_EQ(trusted.status, 0) << trusted.err;
    EXPECT_EQ(trusted.out, "A ok in\n");
}

TEST_F(FleetTest, OnATerminalAnAnswersControlBytesAreShownEscaped)
{
    // Sets the window title and the colour, on a terminal that showed it as it came.
    auto& dock = addDock("A", {{"paint", "return '\\27]0;owned\\7red\\27[31m\\n'"}});
    // The board's operator, straight at the dock's broker, with the password from the environment.
    const std::string password = dock.broker->password("operator");
    const std::string port = std::to_string(dock.broker->port());
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv("VEK_REQUEST_PASSWORD", password.c_str(), 1);
        ::execl(VEK_REQUEST, VEK_REQUEST, "-H", "127.0.0.1", "-p", port.c_str(), "-u", "operator", "paint",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string shown;
    char buffer[256];
    for (ssize_t n; (n = ::read(terminal, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);)
        if (n > 0)
            shown.append(buffer, static_cast<size_t>(n));
    ::close(terminal);
    int status = -1;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
    // The terminal turns each line break into CR LF; the answer's own line break is kept.
    EXPECT_EQ(shown, "\\x1b]0;owned\\x07red\\x1b[31m\r\n\r\n");
}

TEST(VekRequestFleetOptions, MisuseIsAUsageError)
{
    const std::vector<std::string> misuse[] = {
        {"--dock", "a/b", "echo"},
        {"--dock", "+", "echo"},
        {"--prefix", "docks/#", "echo"},
        {"--dock", "", "echo"},
        {"--dock", "A", "--dock", "A", "echo"},
        {"--cert", "c.pem", "echo"},
        {"--cert", "c", "--key", "k", "echo"},
        {"-P", "secret", "echo"},
        {"--no-such-option", "echo"},
        // No password on the command line; a password file needs a user name and must be readable.
        {"-u", "operator", "-P", "secret", "echo"},
        {"--password-file", "/etc/hostname", "echo"},
        {"-u", "operator", "--password-file", "/nonexistent/password", "echo"},
    };
    for (auto args : misuse) {
        args.insert(args.begin(), VEK_REQUEST);
        const auto run = testsupport::runProgram(args);
        EXPECT_EQ(run.status, 2) << args[1];
        EXPECT_NE(run.err.find("usage: vek-request"), std::string::npos) << args[1] << ": " << run.err;
    }
}

} // namespace
} // namespace fleettest
