#include "service_fixture.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace commandtest {
namespace {

using testsupport::ChildProcess;

class ServiceLifecycleTest : public ServiceTest {};

/// Some TCP connection to 127.0.0.1:port is still open on this machine: established, or closed by
/// the peer and not yet by us (CLOSE_WAIT).
bool connectionOpenTo(int port)
{
    char remote[16];
    std::snprintf(remote, sizeof remote, ":%04X", static_cast<unsigned>(port));
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line); // the header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, peer, state;
            fields >> slot >> local >> peer >> state;
            const bool toPort = peer.size() > 5 && peer.compare(peer.size() - 5, 5, remote) == 0;
            if (toPort && (state == "01" || state == "08"))
                return true;
        }
    }
    return false;
}

size_t occurrences(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

/// Whether the signal is still pending for the process (sent, not yet taken by a handler).
bool signalPending(pid_t pid, int signal)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0) {
            if ((std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1)
                return true;
        }
    }
    return false;
}

/// The texts logged after "script directory: ", in order.
std::vector<std::string> scriptDirectories(const std::string& output)
{
    std::vector<std::string> dirs;
    std::istringstream lines(output);
    const std::string marker = "script directory: ";
    for (std::string line; std::getline(lines, line);)
        if (auto at = line.find(marker); at != std::string::npos)
            dirs.push_back(line.substr(at + marker.size()));
    return dirs;
}

TEST_F(ServiceLifecycleTest, StartUpFailuresExitWithStatusOne)
{
    const std::string base = config();
    // Variants of the working configuration with one line replaced.
    auto variant = [&](const std::string& name, const std::string& line, const std::string& replacement) {
        std::string text = testsupport::readFile(base);
        const auto at = text.find(line);
        text.replace(at, text.find('\n', at) - at, replacement);
        return dir.write(name, text);
    };
    const std::string noStaging = variant("no-staging.conf", "script.staging_dir=", "");
    const std::string badLogging =
        variant("bad-logging.conf", "log4cpp.rootCategory=", "log4cpp.rootCategory=INFO, nosuch");
    const std::string badLimit =
        variant("bad-limit.conf", "script.staging_dir=", "script.time_limit_ms=soon\nscript.staging_dir=/tmp");
    const std::string usage = std::string(VEK_COMMAND) + " expects the path to the config file to be provided.\n";
    struct Case {
        const char* name;
        std::vector<std::string> argv;
        std::string stderrText; // contained in the standard error
    } cases[] = {
        {"no argument", {VEK_COMMAND}, usage},
        {"two arguments", {VEK_COMMAND, base, base}, usage},
        {"unreadable file",
         {VEK_COMMAND, dir.file("none.conf")},
         "Config file: " + dir.file("none.conf") + " failed to load.\n"},
        {"no staging directory", {VEK_COMMAND, noStaging}, "script.staging_dir has not been configured"},
        {"logging configuration rejected", {VEK_COMMAND, badLogging}, "Appender 'nosuch' not found"},
        {"job limit not a number", {VEK_COMMAND, badLimit}, "script.time_limit_ms must be a whole number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ChildProcess service(c.argv);
        EXPECT_EQ(service.waitExitCode(10s), 1);
        EXPECT_NE(service.stderrText().find(c.stderrText), std::string::npos) << service.stderrText();
    }
    // The usage line begins with the name the program was invoked by.
    ChildProcess bare({VEK_COMMAND});
    bare.waitExitCode(10s);
    EXPECT_EQ(bare.stderrText().rfind(VEK_COMMAND, 0), 0u);
    // None of them got as far as the broker.
    EXPECT_EQ(broker->log().find("command_service"), std::string::npos) << broker->log();
}

TEST_F(ServiceLifecycleTest, SearchDirectoriesAreSplitAtColonsAndEndInASlash)
{
    const std::string fallback = dir.path() + "/job_scripts";
    struct Case {
        const char* value; // null: the key is absent
        std::vector<std::string> dirs;
        size_t emptyEntries; // each ignored with a warning, never searched as "/"
    } cases[] = {
        {"/a:/b/", {"/a/", "/b/"}, 0},
        {"a::b", {"a/", "b/"}, 1},
        {"a:", {"a/"}, 1},
        {":a", {"a/"}, 1},
        {"", {fallback}, 1},
        {"::", {fallback}, 3},
        {"a: b", {"a/", " b/"}, 0},
        {"a//:b", {"a//", "b/"}, 0},
        {nullptr, {fallback}, 0},
    };
    const int unused = testsupport::freeLoopbackPort();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(absent)");
        std::string text = "script.staging_dir=" + staging() + "\nserver_comms.port=" + std::to_string(unused) +
            "\nlog4cpp.rootCategory=INFO, out\nlog4cpp.appender.out=FileAppender\n"
            "log4cpp.appender.out.fileName=/dev/stdout\n"
            "log4cpp.appender.out.layout=PatternLayout\n"
            "log4cpp.appender.out.layout.ConversionPattern=%m%n\n";
        if (c.value)
            text += std::string("script.search_dirs=") + c.value + "\n";
        ChildProcess service({VEK_COMMAND, dir.write("dirs.conf", text)}, {}, dir.path());
        ASSERT_TRUE(service.waitForOutput("script directory: ", 5s));
        service.signal(SIGTERM);
        EXPECT_EQ(service.waitExitCode(5s), 0);
        EXPECT_EQ(scriptDirectories(service.stdoutText()), c.dirs);
        EXPECT_EQ(occurrences(service.stdoutText(), "script.search_dirs: empty entry ignored\n"), c.emptyEntries);
    }
}

TEST_F(ServiceLifecycleTest, ConfigurationRecordShowsOnlyTheConfiguredLimits)
{
    const std::string head =
        "Server comms config: \n  id   : command_service\n  host : 127.0.0.1 port: " + std::to_string(broker->port()) +
        "\n";
    struct Case {
        const char* name;
        std::string extra;
        std::string rest; // of the record, after the host line
    } cases[] = {
        {"no limits", "", "  QoS  : 2"},
        {"limits of 0", "script.time_limit_ms=0\nscript.memory_limit_kb=0\n", "  QoS  : 2"},
        {"QoS set", "server_comms.qos=1\n", "  QoS  : 1"},
        {"time limit", "script.time_limit_ms=250\n", "  QoS  : 2\n  time limit   : 250 ms"},
        {"memory limit", "script.memory_limit_kb=4096\n", "  QoS  : 2\n  memory limit : 4096 KiB"},
        {"both", "script.time_limit_ms=250\nscript.memory_limit_kb=4096\n",
         "  QoS  : 2\n  time limit   : 250 ms\n  memory limit : 4096 KiB"},
    };
    // One record: from its text to the start of the next record ("PRIORITY [category] ").
    const std::regex nextRecord("\n[A-Z]+ \\[");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto service = startService(config(c.extra), false);
        ASSERT_TRUE(service->waitForOutput("script directory: ", 5s)) << service->stdoutText();
        const std::string out = service->stdoutText();
        const auto at = out.find("INFO [server_comms] Server comms config: ");
        ASSERT_NE(at, std::string::npos) << out;
        const std::string from = out.substr(at + std::string("INFO [server_comms] ").size());
        std::smatch next;
        ASSERT_TRUE(std::regex_search(from, next, nextRecord)) << from;
        EXPECT_EQ(from.substr(0, next.position(0)), head + c.rest);
        service->signal(SIGTERM);
        EXPECT_EQ(service->waitExitCode(5s), 0);
    }
}

TEST_F(ServiceLifecycleTest, SigintDuringAJobStillDeliversItsResult)
{
    // Runs until the test lets it end (a job that runs for a time of its own ends before the
    // signal on a busy machine, or not at all).
    const std::string gate = dir.file("job.end");
    script("slow", "while true do local f = io.open('" + gate + "') if f then f:close() break end end return 'done'");
    auto service = startService(config());
    auto mqtt = client();
    mqtt->publish("in/cmd/slow", request("slow"));
    ASSERT_TRUE(service->waitForOutput("lua_pcall: ", 10s));
    service->signal(SIGINT);
    ASSERT_TRUE(testsupport::waitUntil([&] { return !signalPending(service->pid(), SIGINT); }))
        << "the signal was not taken";
    // Arrives while the first job runs: read while stopping, but not run.
    mqtt->publish("in/cmd/late", request("slow"));
    dir.write("job.end", "");
    auto result = mqtt->waitFor("out/cmd/slow", 10s);
    ASSERT_TRUE(result) << service->stdoutText();
    EXPECT_EQ(result->payload, "done");
    EXPECT_EQ(service->waitExitCode(10s), 0);
    EXPECT_NE(service->stdoutText().find("job (late) not run: the service is stopping"), std::string::npos);
    // Once the broker has seen the service's connection end, all it sent has been passed on.
    EXPECT_TRUE(testsupport::waitUntil([&] { return broker->clientGone("command_service"); })) << broker->log();
    mqtt->sync();
    EXPECT_FALSE(mqtt->waitFor("out/cmd/late", 0ms));
    // Delivered with the QoS 2 handshake complete: the broker holds it retained.
    auto kept = retained("out/cmd/slow");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->payload, "done");
}

TEST_F(ServiceLifecycleTest, WithoutABrokerItIdlesAndStopsPromptly)
{
    auto service = startService(config("", testsupport::freeLoopbackPort()), false);
    ASSERT_TRUE(service->waitForOutput("Server comms config", 5s));
    ASSERT_TRUE(testsupport::waitUntilThreadsAsleep(service->pid())) << "start-up is over";
    const double before = testsupport::processCpuSeconds(service->pid());
    std::this_thread::sleep_for(2s); // the span measured, not a wait for anything
    EXPECT_LT(testsupport::processCpuSeconds(service->pid()) - before, 0.2 * testsupport::kBuildSlowdown);

    const auto signalled = std::chrono::steady_clock::now();
    service->signal(SIGTERM);
    EXPECT_EQ(service->waitExitCode(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 1s + testsupport::kSchedulingSlack)
        << "within the network loop's second";
    EXPECT_TRUE(service->waitForOutput("Closing server comms service", 10s));
}

TEST_F(ServiceLifecycleTest, ReconnectsAndServesAfterTheBrokerRestarts)
{
    script("echo", "return args.msg");
    auto service = startService(config());
    const std::string hi = request("echo", fixmap(1) + str("msg") + str("hi"));
    {
        auto mqtt = client();
        ASSERT_EQ(ask(*mqtt, "before", hi), "hi");
    }
    broker->stop();
    // The service has seen the loss, and pauses between refused attempts.
    ASSERT_TRUE(service->waitForOutput("The connection was lost.", 10s));
    ASSERT_TRUE(testsupport::waitUntilThreadsAsleep(service->pid()));
    const double before = testsupport::processCpuSeconds(service->pid());
    std::this_thread::sleep_for(2s); // the span measured, not a wait for anything
    EXPECT_LT(testsupport::processCpuSeconds(service->pid()) - before, 0.2 * testsupport::kBuildSlowdown);

    broker->start();
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            const std::string out = service->stdoutText();
            return out.find("subscribed (msg:") != out.rfind("subscribed (msg:");
        },
        20s))
        << "not subscribed again";
    auto mqtt = client();
    EXPECT_EQ(ask(*mqtt, "after", hi), "hi");
    service->signal(SIGTERM);
    EXPECT_EQ(service->waitExitCode(5s), 0);
}

TEST_F(ServiceLifecycleTest, MqttLibraryLinesAreLoggedWhenTheMosqCategoryLogsDebug)
{
    // The service leaves the library's lines unmade while connected unless "mosq" logs DEBUG:
    // asked for, they are all there, also for the traffic of a job.
    script("echo", "return args.msg");
    auto service = startService(config("log4cpp.category.mosq=DEBUG\n"));
    auto mqtt = client();
    ASSERT_EQ(ask(*mqtt, "traced", request("echo", fixmap(1) + str("msg") + str("hi"))), "hi");
    EXPECT_TRUE(service->waitForOutput("DEBUG [mosq] Client ", 10s));
    EXPECT_TRUE(service->waitForOutput("sending PUBLISH (d0, q2, r1, m", 10s)) << service->stdoutText();
    EXPECT_TRUE(service->waitForOutput("'out/cmd/traced'", 10s));
    EXPECT_TRUE(service->waitForOutput("received PUBCOMP", 10s));
}

/// The broker keeps retained messages on disk, so that they outlive a SIGKILL.
class BrokerKillTest : public ServiceTest {
protected:
    testsupport::Broker::Options brokerOptions() const override
    {
        testsupport::Broker::Options options;
        options.persistence = true;
        return options;
    }
};

TEST_F(BrokerKillTest, ServesAgainPromptlyAfterTheBrokerIsKilledUnderLoad)
{
    // Counts its runs in the staging directory, so a run again is told from the retained result.
    script("count",
           "local path = vekenv.staging_dir .. '/runs'\n"
           "local f = io.open(path) local n = f and tonumber(f:read('*a')) or 0 if f then f:close() end\n"
           "f = assert(io.open(path, 'w')) f:write(n + 1) f:close()\n"
           "return args.msg .. ' ' .. (n + 1)");
    script("echo", "return args.msg");
    auto service = startService(config());
    auto mqtt = client();
    const std::string kept = request("count", fixmap(1) + str("msg") + str("kept"));
    mqtt->publish("in/cmd/kept", kept, 1, true);
    auto first = mqtt->waitFor("out/cmd/kept", 10s);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->payload, "kept 1");
    // The broker's autosave (every second) has the retained request on disk.
    const std::string db = broker->dir() + "/mosquitto.db";
    const auto saved = std::chrono::steady_clock::now() + 10s;
    while (testsupport::readFile(db).find("lua_script") == std::string::npos &&
           std::chrono::steady_clock::now() < saved)
        std::this_thread::sleep_for(50ms);
    ASSERT_NE(testsupport::readFile(db).find("lua_script"), std::string::npos) << "not saved";

    // Requests in flight when the broker dies.
    const std::string hi = request("echo", fixmap(1) + str("msg") + str("hi"));
    for (int i = 0; i < 200; ++i)
        mqtt->publish("in/cmd/load" + std::to_string(i), hi, 1);
    ASSERT_TRUE(mqtt->waitFor("out/cmd/load0", 10s));
    const std::string before = service->stdoutText();
    ASSERT_EQ(::kill(broker->pid(), SIGKILL), 0);
    broker->stop(); // reaps it
    mqtt.reset();
    const size_t subscriptions = occurrences(before, "subscribed (msg:");
    // The service has let the dead connection go: how it noticed (a read, a write into the dead
    // socket) decides what it logs, but either way it closes its socket. The test client is gone.
    ASSERT_TRUE(testsupport::waitUntil([&] { return !connectionOpenTo(broker->port()); }))
        << "the service did not see the broker go:\n"
        << service->stdoutText();

    broker->start();
    const auto back = std::chrono::steady_clock::now();
    // Served again: subscribed anew, and the retained request run a second time.
    const auto deadline = back + 10s;
    while (occurrences(service->stdoutText(), "subscribed (msg:") <= subscriptions &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    const auto resubscribed = std::chrono::steady_clock::now() - back;
    auto fresh = client();
    std::optional<testsupport::MqttTestClient::Message> again;
    while ((again = fresh->waitFor("out/cmd/kept", 10s)) && again->payload != "kept 2") {
    }
    ASSERT_TRUE(again) << service->stdoutText();
    const auto rerun = std::chrono::steady_clock::now() - back;
    EXPECT_EQ(ask(*fresh, "after", hi), "hi");

    const auto ms = [](auto d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    RecordProperty("resubscribed_ms", std::to_string(ms(resubscribed)));
    RecordProperty("retained_rerun_ms", std::to_string(ms(rerun)));
    std::cout << "broker back: resubscribed after " << ms(resubscribed) << " ms, retained request run again after "
              << ms(rerun) << " ms" << std::endl;
    // The retry interval is 1 s; the bound allows for a loaded machine.
    EXPECT_LT(resubscribed, 10s);

    ASSERT_TRUE(service->running());
    service->signal(SIGTERM);
    EXPECT_EQ(service->waitExitCode(5s), 0);
    EXPECT_EQ(service->stderrText(), "");
}

TEST_F(ServiceLifecycleTest, MemoryLimitThatDoesNotFitInBytesIsRefused)
{
    // The cap is held in bytes in a size_t. With 32 bits, 4194303 KiB is the largest that fits:
    // 4194304 would wrap to 0 (no cap) and 4194305 to 1 KiB (every job failing).
    const bool narrow = sizeof(size_t) < 8;
    script("small", "return 'ok'");
    for (const std::string kb : {"4194303", "4194304", "4194305"}) {
        SCOPED_TRACE(kb);
        const bool refused = narrow && kb != "4194303";
        auto service = startService(config("script.memory_limit_kb=" + kb + "\n"), !refused);
        if (refused) {
            EXPECT_EQ(service->waitExitCode(10s), 1);
            EXPECT_NE(
                service->stderrText().find("script.memory_limit_kb must be at most 4194303 on this system, not " + kb),
                std::string::npos)
                << service->stderrText();
            continue;
        }
        EXPECT_TRUE(service->waitForOutput("memory limit : " + kb + " KiB", 5s)) << service->stdoutText();
        auto mqtt = client();
        EXPECT_EQ(ask(*mqtt, "small" + kb, request("small")), "ok");
        service->signal(SIGTERM);
        EXPECT_EQ(service->waitExitCode(5s), 0);
    }
}

} // namespace
} // namespace commandtest
