// The keysmith binary end to end against the emulated key and board, a real broker and a test
// server. Tests whose names end in "Slow" wait out the protocol's time limits or a claim delay.
#include "daemon_fixture.h"
#include "tests/support/wait.h"

#include <csignal>
#include <ostream>
#include <regex>

using namespace keysmithtest;

namespace {

/// Takes messages on the request topic until the daemon's clearing (an empty payload) comes.
bool requestCleared(MqttTestClient& server)
{
    while (auto m = server.waitFor(kRequestTopic, 5s))
        if (m->payload.empty())
            return true;
    return false;
}

/// Seconds since the time point.
double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

} // namespace

// ---------------------------------------------------------------------------------------------
// An attempt started by the claim delay: the key is announced, the server answers, the firmware
// is transferred and the result reported, with the link service stopped around it.

struct ClaimCase {
    const char* name;
    const char* keyVersion;
    int connectionTime;
    bool versionClear; // only keys above 8.9.2 are told to clear their version
};

// The case name stands for the case in test names and failure output.
void PrintTo(const ClaimCase& c, std::ostream* out) { *out << c.name; }

class ClaimPath : public DaemonTest, public ::testing::WithParamInterface<ClaimCase> {};

TEST_P(ClaimPath, AnnouncesTransfersAndReports)
{
    const ClaimCase& c = GetParam();
    const uint32_t stored = packedVersion(8, 9, 4);
    plugKey(c.keyVersion);
    // A transfer of a small file can be over before the LEDs' first 100 ms phase has passed: the
    // key takes its time over opening the file, so that both LEDs take both levels.
    key->injectFault(KeyOp::FileOpen, KeyFault::lateReply(600ms));
    makeStore("8.9.4");
    startBroker();
    settings["ConnectionTime"] = std::to_string(c.connectionTime);
    startDaemon();

    const auto note = answerNotification(stored, 30s);
    ASSERT_TRUE(note) << "no notification";
    const uint32_t keyVersion = c.versionClear ? packedVersion(8, 9, 3) : packedVersion(8, 9, 2);
    EXPECT_EQ(hex(note->payload), hex(bytes({0x91}) + msgpackUint(keyVersion)));
    if (c.connectionTime > 0) {
        EXPECT_GE(since(startedAt), c.connectionTime) << "claimed before the claim delay passed";
        EXPECT_LT(indexOf("Key Connected for 0 (" + std::to_string(c.connectionTime) + ")"),
                  indexOf("Claim delay passed"));
    }

    const auto result = server->waitFor(kResultTopic, 30s);
    ASSERT_TRUE(result) << "no result";
    EXPECT_EQ(hex(result->payload), "92 C3 CE 00 08 09 04");
    EXPECT_TRUE(requestCleared(*server)) << "the request stays at the broker";
    ASSERT_TRUE(waitForLog("Starting MOXlink again", 1, 10s));
    ASSERT_TRUE(key->waitFor(KeyOp::LinkEnd, 1, 10s));

    // How a file goes to the key is the protocol tests' matter; here: the store's file and version.
    const auto file = key->file();
    EXPECT_EQ(file.version, stored);
    EXPECT_EQ(file.unpacked.data, firmware) << "the store's firmware arrived";
    EXPECT_EQ(key->count(KeyOp::VersionClear), c.versionClear ? 1u : 0u);

    EXPECT_EQ(svCallsAfter(2), (std::vector<std::string>{"stop moxlink", "start moxlink"}));
    EXPECT_TRUE(has("cKeyUpdater", "DEBUG", "Upgrading key to: 8.9.4"));
    EXPECT_TRUE(has("cKeyBinary", "WARN",
                    "Firmware store " + dir.file("store") + " is not signature-checked: KeyBinary.trust is not set"));
    EXPECT_TRUE(has("main", "DEBUG", "Upgrade success"));
    EXPECT_LT(indexOf("Stop MOXlink and claiming key"), indexOf("Upgrade success"));
    expectBlinkedAndRested();

    const auto kept = retained("#", 4);
    ASSERT_EQ(kept.size(), 4u) << "the notification, the progress, the result and the daemon's status; no request";
    for (const auto& m : kept) {
        EXPECT_TRUE(m.retain) << m.topic;
        EXPECT_TRUE(m.topic == kNotificationTopic || m.topic == kResultTopic ||
                    m.topic == "out/key/00A1B2C3/progress" || m.topic == "out/status/keysmith")
            << m.topic;
    }
}

INSTANTIATE_TEST_SUITE_P(Daemon, ClaimPath,
                         ::testing::Values(ClaimCase{"Key892", "8.9.2", 0, false},
                                           ClaimCase{"Key893AfterClaimDelaySlow", "8.9.3", 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Attempts started by a server request while the key waits out a long claim delay.

struct RequestCase {
    const char* name;
    const char* keyVersion;
    const char* topicLevel;
    uint32_t requested;
    bool transfer;
    std::optional<std::string> result; // the reported record, if any
    const char* updaterLine;           // cKeyUpdater's line on the outcome
    const char* loopLine;              // the loop's line on the outcome
};

void PrintTo(const RequestCase& c, std::ostream* out) { *out << c.name; }

class RequestPath : public DaemonTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestPath, ActsOnTheRequest)
{
    const RequestCase& c = GetParam();
    plugKey(c.keyVersion);
    makeStore("8.9.3");
    startBroker();
    settings["ConnectionTime"] = "300";
    startDaemon();

    ASSERT_TRUE(deliverRequest(c.topicLevel, boolAndVersion(true, c.requested)));
    ASSERT_TRUE(waitForLog("Starting MOXlink again", 1, 20s));
    EXPECT_EQ(count(c.updaterLine), 1u) << c.updaterLine;
    EXPECT_TRUE(has("main", "DEBUG", c.loopLine)) << c.loopLine;
    EXPECT_EQ(svCallsAfter(2), (std::vector<std::string>{"stop moxlink", "start moxlink"}));
    EXPECT_EQ(count("Notified that key"), 0u) << "a requested attempt does not announce the key";

    ASSERT_TRUE(key->waitFor(KeyOp::LinkEnd, 1, 10s));
    EXPECT_EQ(key->count(KeyOp::FileOpen), c.transfer ? 1u : 0u);

    // The result record may still be on its way to the broker.
    std::optional<std::string> reported;
    const auto hasResult = [&](const testsupport::RetainedMessages& kept) {
        if (!c.result)
            return true;
        for (const auto& m : kept)
            if (m.topic == kResultTopic)
                return true;
        return false;
    };
    for (const auto& m : retained("out/key/#", hasResult))
        if (m.topic == kResultTopic)
            reported = m.payload;
    EXPECT_EQ(reported.has_value(), c.result.has_value());
    if (reported && c.result) {
        EXPECT_EQ(hex(*reported), hex(*c.result));
    }
    EXPECT_TRUE(retained("in/key/#", [](const auto& kept) { return kept.empty(); }).empty())
        << "the request was cleared";
}

INSTANTIATE_TEST_SUITE_P(
    Daemon, RequestPath,
    ::testing::Values(RequestCase{"UpgradesToTheRequestedVersion", "8.9.1", "00A1B2C3", 0x080903, true,
                                  boolAndVersion(true, 0x080903), "Key upgraded", "Upgrade success"},
                      // The key runs a newer version than the store's: success, reported with the stored one.
                      RequestCase{"AlreadyUpToDate", "8.9.5", "a1b2c3", 0x080905, false, boolAndVersion(true, 0x080903),
                                  "Key already up to date", "Upgrade success"},
                      RequestCase{"VersionMismatch", "8.9.1", "00A1B2C3", 0x080904, false, std::nullopt,
                                  "binary version mismatch server: 526596 binary: 526595", "Upgrade unverified"},
                      RequestCase{"AnotherKey", "8.9.1", "00A1B2C4", 0x080903, false, std::nullopt,
                                  "Incorrect key connected", "Upgrade unverified"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// The server never answers; a stop signal during that attempt lets it finish, restarts the link
// service and ends the daemon without another poll.

TEST_F(DaemonTest, NoServerAnswerAndStopDuringTheAttemptSlow)
{
    plugKey("8.9.1");
    makeStore("8.9.3");
    startBroker();
    startDaemon();

    ASSERT_TRUE(server->waitFor(kNotificationTopic, 20s));
    const auto announced = Clock::now();
    daemon->signal(SIGTERM);
    const auto code = daemon->waitExitCode(25s);
    ASSERT_TRUE(code) << "still running";
    EXPECT_EQ(*code, 0);
    EXPECT_GE(since(announced), 13.0) << "the server's answer is awaited 15 s";

    EXPECT_TRUE(has("cKeyUpdater", "ERROR", "No request reply from MQTT"));
    EXPECT_TRUE(has("main", "DEBUG", "Upgrade unverified"));
    EXPECT_EQ(svCallsAfter(2), (std::vector<std::string>{"stop moxlink", "start moxlink"}));
    EXPECT_EQ(key->count(KeyOp::FileOpen), 0u);
    // Once the broker has seen the daemon's connection end, all it sent has been passed on.
    EXPECT_TRUE(testsupport::waitUntil([&] { return broker->clientGone("Vondra"); })) << broker->log();
    server->sync();
    EXPECT_FALSE(server->waitFor(kResultTopic, 0ms)) << "nothing reported";

    const size_t restart = indexOf("Starting MOXlink again");
    EXPECT_LT(restart, indexOf("Stop listening"));
    EXPECT_EQ(count("Stop listening"), 1u);
    EXPECT_EQ(indexOf("key was claimed ", restart), records().size()) << "no poll after the attempt";
    EXPECT_TRUE(has("main", "INFO", "DONE"));
}

// ---------------------------------------------------------------------------------------------
// A broken firmware store is reported to the server as a failure with version 0; the link
// service is started again and the daemon goes on.

struct StoreCase {
    const char* name;
    const char* removed;
    const char* reason;
};

void PrintTo(const StoreCase& c, std::ostream* out) { *out << c.name; }

class BrokenStore : public DaemonTest, public ::testing::WithParamInterface<StoreCase> {};

TEST_P(BrokenStore, IsReportedAndTheDaemonGoesOn)
{
    plugKey("8.9.1");
    makeStore("8.9.3");
    std::remove(dir.file(std::string("store/") + GetParam().removed).c_str());
    startBroker();
    startDaemon();

    ASSERT_TRUE(answerNotification(0x080903));
    const auto result = server->waitFor(kResultTopic, 20s);
    ASSERT_TRUE(result);
    EXPECT_EQ(hex(result->payload), "92 C2 00");
    ASSERT_TRUE(waitForLog("Starting MOXlink again", 1, 10s));
    EXPECT_TRUE(has("cKeyUpdater", "ERROR", std::string("Binary exception: ") + GetParam().reason));
    EXPECT_TRUE(has("cKeyUpdater", "DEBUG", "Binary does not exist"));
    EXPECT_TRUE(has("main", "ERROR", "Binaries missing: a binary exception"));
    EXPECT_EQ(svCallsAfter(2), (std::vector<std::string>{"stop moxlink", "start moxlink"}));
    EXPECT_EQ(key->count(KeyOp::FileOpen), 0u);

    // The claim stands (a store error is not the key's fault): the next poll waits for requests.
    EXPECT_TRUE(waitForLog("key was claimed ", 1, 5s));
    EXPECT_TRUE(daemon->running());
}

INSTANTIATE_TEST_SUITE_P(Daemon, BrokenStore,
                         ::testing::Values(StoreCase{"MissingManifest", "MANIFEST", "Binary Not Found exception"},
                                           StoreCase{"MissingFirmwareFile", "fw.bin", "Binary Not Found exception"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Retry policy.

// A key that stops answering mid-transfer: three transfers fail, the failure is reported and the
// claim forgotten; the next claim delay (0 here) starts a new attempt, which succeeds. The key
// then stays connected without further attempts, until a server request starts one.
TEST_F(DaemonTest, FailedUpgradeIsRetriedAfterANewClaimSlow)
{
    plugKey("8.9.1");
    key->injectFault(KeyOp::FileData, KeyFault::noReply(), 3, 3);
    makeStore("8.9.3");
    startBroker();
    startDaemon();

    ASSERT_TRUE(answerNotification(0x080903));
    auto result = server->waitFor(kResultTopic, 30s);
    ASSERT_TRUE(result);
    EXPECT_EQ(hex(result->payload), hex(boolAndVersion(false, 0x080903)));
    EXPECT_TRUE(has("cKeyUpdater", "ERROR", "Upgrade failed"));

    ASSERT_TRUE(answerNotification(0x080903)) << "a second attempt announces the key again";
    result = server->waitFor(kResultTopic, 30s);
    ASSERT_TRUE(result);
    EXPECT_EQ(hex(result->payload), hex(boolAndVersion(true, 0x080903)));
    EXPECT_EQ(key->file().unpacked.data, firmware);
    EXPECT_EQ(count("Upgrade failed, retry..."), 1u);
    EXPECT_EQ(count("Claim delay passed"), 2u) << "the failure made the listener forget the claim";

    // Upgraded and still plugged in: the next poll starts nothing.
    ASSERT_TRUE(waitForLog("key was claimed ", 1, 10s));
    EXPECT_EQ(svCalls().size(), 4u);

    // A request still starts an attempt; the key now runs the stored version.
    ASSERT_TRUE(deliverRequest("00A1B2C3", boolAndVersion(true, 0x080903)));
    ASSERT_TRUE(waitForLog("Key already up to date", 1, 10s));
    result = server->waitFor(kResultTopic, 10s);
    ASSERT_TRUE(result);
    EXPECT_EQ(hex(result->payload), hex(boolAndVersion(true, 0x080903)));
    ASSERT_TRUE(waitForLog("Starting MOXlink again", 3, 10s));
    EXPECT_EQ(svCallsAfter(6).size(), 6u);
    const auto files = key->files();
    ASSERT_EQ(files.size(), 4u) << "three broken-off transfers, then a whole one";
    for (size_t i = 0; i < 3; ++i)
        EXPECT_LT(files[i].packed.size(), files[3].packed.size()) << i;
    EXPECT_EQ(files[3].unpacked.data, firmware);
}

// With a claim delay of 0 the counter stops claim-delay attempts after three failures; a server
// request sets it to 2, so the request's attempt is followed by two more.
TEST_F(DaemonTest, AttemptsCounterLimitsClaimRetries)
{
    KeyEmulator::Options busy;
    busy.claimBusy = true;
    plugKey("8.9.1", busy);
    startBroker();
    startDaemon();

    ASSERT_TRUE(waitForLog("Claim delay passed", 4, 20s));
    ASSERT_TRUE(waitForLog("key was claimed ", 1, 10s));
    EXPECT_EQ(count("Stop MOXlink and claiming key"), 3u);
    EXPECT_EQ(count("Upgrade failed: a USB exeption"), 3u);
    EXPECT_TRUE(has("cKeyUpdater", "ERROR", "USB exception: could not claim usb device"));

    ASSERT_TRUE(deliverRequest("00A1B2C3", boolAndVersion(true, 0x080903)));
    ASSERT_TRUE(waitForLog("Claim delay passed", 7, 20s));
    ASSERT_TRUE(waitForLog("key was claimed ", 2, 10s));
    EXPECT_EQ(count("Stop MOXlink and claiming key"), 6u);
    EXPECT_EQ(count("Upgrade failed: a USB exeption"), 6u);
    EXPECT_EQ(svCallsAfter(12).size(), 12u) << "every attempt starts the link service again";
}

// sv failing to stop the link service is logged and the attempt goes on.
TEST_F(DaemonTest, LinkServiceThatWillNotStop)
{
    plugKey(""); // an identity without a version: the attempt fails at once
    setSvFailing(true);
    startDaemon();

    ASSERT_TRUE(waitForLog("Starting MOXlink again", 1, 10s));
    EXPECT_TRUE(has("main", "ERROR", "Could not stop moxlink"));
    EXPECT_LT(indexOf("Could not stop moxlink"), indexOf("No key connected"));
    EXPECT_TRUE(has("main", "ERROR", "Upgrade failed, retry..."));
    EXPECT_GE(key->count(KeyOp::IdentityRead), 1u) << "the key was taken over all the same";
    const auto calls = svCallsAfter(2);
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0], "stop moxlink");
    EXPECT_EQ(calls[1], "start moxlink");
}

// ---------------------------------------------------------------------------------------------
// No key and no broker: the daemon idles without CPU and stops on either signal.

class Idle : public DaemonTest, public ::testing::WithParamInterface<int> {};

TEST_P(Idle, StopsOnSignal)
{
    startDaemon(); // no broker listens on the configured port
    ASSERT_TRUE(waitForLog("waiting for key", 1, 10s));
    ASSERT_TRUE(daemon->running());
    ASSERT_TRUE(testsupport::waitUntilThreadsAsleep(daemon->pid())) << "start-up is over";

    const double cpu0 = testsupport::processCpuSeconds(daemon->pid());
    std::this_thread::sleep_for(3s); // the span measured, not a wait for anything
    const double cpu = testsupport::processCpuSeconds(daemon->pid()) - cpu0;
    EXPECT_LT(cpu, 0.15 * testsupport::kBuildSlowdown) << "CPU seconds in 3 s of idling";
    RecordProperty("idle_cpu_ms_per_3s", std::to_string(int(cpu * 1000)));

    const auto t0 = Clock::now();
    daemon->signal(GetParam());
    const auto code = daemon->waitExitCode(12s);
    ASSERT_TRUE(code) << "still running";
    EXPECT_EQ(*code, 0);
    const double took = since(t0);
    EXPECT_LT(took, 5.0 + testsupport::kSchedulingSlackSeconds) << "one pause without a key at most";
    RecordProperty("stop_ms", std::to_string(int(took * 1000)));

    const auto all = records();
    ASSERT_GE(all.size(), 5u);
    const std::string rule(51, '#');
    EXPECT_EQ(all[0].message, rule);
    EXPECT_EQ(all[1].message, "#       Started MOX Key Update Daemon 0.0.10       #");
    EXPECT_TRUE(std::regex_match(all[2].message,
                                 std::regex("#          Build: [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} - "
                                            "[0-2][0-9]:[0-5][0-9]:[0-6][0-9]          #")))
        << all[2].message;
    EXPECT_EQ(all[3].message, rule);
    EXPECT_EQ(all[4].message, "");
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(all[i].category + " " + all[i].priority, "main INFO");

    EXPECT_EQ(count("Stop listening"), 1u);
    EXPECT_TRUE(has("main", "INFO", "Stop listening"));
    EXPECT_LT(indexOf("Stop listening"), indexOf("Closing usb"));
    EXPECT_LT(indexOf("Closing usb"), indexOf("DONE"));
    EXPECT_TRUE(has("main", "INFO", "DONE"));
    EXPECT_TRUE(svCalls().empty());
}

INSTANTIATE_TEST_SUITE_P(Daemon, Idle, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return std::string(info.param == SIGTERM ? "SIGTERM" : "SIGINT"); });

// ---------------------------------------------------------------------------------------------
// Start-up failures.

struct StartCase {
    const char* name;
    std::vector<std::string> args;
    std::string shownPath;
};

void PrintTo(const StartCase& c, std::ostream* out) { *out << c.name; }

class StartUp : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartUp, UnreadableConfiguration)
{
    const StartCase& c = GetParam();
    if (c.args.empty() && testsupport::fileExists(c.shownPath))
        GTEST_SKIP() << c.shownPath << " exists on this machine";
    std::vector<std::string> argv{KEYSMITH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    testsupport::ChildProcess child(argv);
    const auto code = child.waitExitCode(10s);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 255);
    EXPECT_EQ(child.stdoutText(), "log4cpp: Could not load configuration file \"" + c.shownPath + "\"");
}

INSTANTIATE_TEST_SUITE_P(
    Daemon, StartUp,
    ::testing::Values(
        StartCase{"Missing", {"/nonexistent/keysmith.conf"}, "/nonexistent/keysmith.conf"},
        StartCase{"DefaultPath", {}, "/etc/vek/keysmith.conf"},
        StartCase{"OnlyTheFirstArgumentCounts", {"/nonexistent/a.conf", "/nonexistent/b.conf"}, "/nonexistent/a.conf"}),
    [](const auto& info) { return std::string(info.param.name); });
