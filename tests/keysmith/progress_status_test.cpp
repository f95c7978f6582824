// keysmith's retained status record and the per-key progress records, end to end against the
// emulated key, a real broker and the real binary.
#include "daemon_fixture.h"
#include "tests/support/status_records.h"
#include "tests/support/wait.h"

#include <csignal>

using namespace keysmithtest;
using testsupport::decodeRecord;
using testsupport::Record;

namespace {

const std::string kProgressTopic = "out/key/00A1B2C3/progress";
const std::string kStatusTopic = "out/status/keysmith";

class ProgressTest : public DaemonTest {
protected:
    /// Progress records as they come, up to and including the first final one (finished or failed).
    std::vector<Record> progressUntilEnd(std::chrono::milliseconds timeout)
    {
        std::vector<Record> records;
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            auto m = server->waitFor(kProgressTopic,
                                     std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            if (!m)
                break;
            auto record = decodeRecord(m->payload);
            EXPECT_TRUE(record) << "progress record does not decode: " << hex(m->payload);
            if (!record)
                continue;
            records.push_back(*record);
            const std::string phase = record->get("phase");
            if (phase == "finished" || phase == "failed")
                break;
        }
        return records;
    }

    /// The daemon's retained status record once its state is `state`.
    std::optional<Record> statusOnceIt(const std::string& state, std::chrono::milliseconds timeout = 10s)
    {
        std::optional<Record> found;
        testsupport::waitUntil(
            [&] {
                auto m = testsupport::retainedOn(broker->port(), kStatusTopic);
                found = m ? decodeRecord(m->payload) : std::nullopt;
                return found && found->get("state") == state;
            },
            timeout);
        if (found && found->get("state") != state)
            return std::nullopt;
        return found;
    }

    /// Runs an attempt that the server asks for once the key is announced; the final record.
    Record failedAttempt(std::chrono::milliseconds timeout)
    {
        startBroker();
        startDaemon();
        EXPECT_TRUE(answerNotification(packedVersion(8, 9, 4), 30s)) << "no notification";
        auto records = progressUntilEnd(timeout);
        EXPECT_FALSE(records.empty());
        return records.empty() ? Record{} : records.back();
    }
};

TEST_F(ProgressTest, SuccessfulUpgradeReportsEveryPhaseInOrder)
{
    plugKey("8.9.1");
    makeStore("8.9.4", 6000);
    startBroker();
    startDaemon();
    ASSERT_TRUE(answerNotification(packedVersion(8, 9, 4), 30s)) << "no notification";
    const auto records = progressUntilEnd(60s);
    ASSERT_GE(records.size(), 5u);

    EXPECT_EQ(records[0].get("phase"), "identified");
    EXPECT_EQ(records[0].num("to"), 0u); // nobody had named a version yet
    EXPECT_EQ(records[1].get("phase"), "verifying_store");
    EXPECT_EQ(records[1].num("to"), packedVersion(8, 9, 4));
    std::vector<uint64_t> percents;
    for (size_t i = 2; i + 1 < records.size(); ++i) {
        EXPECT_EQ(records[i].get("phase"), "transferring");
        EXPECT_EQ(records[i].num("attempt"), 1u);
        percents.push_back(records[i].num("percent").value_or(999));
    }
    ASSERT_GE(percents.size(), 5u);
    EXPECT_EQ(percents.front(), 0u);
    EXPECT_EQ(percents.back(), 100u);
    for (size_t i = 1; i < percents.size(); ++i) {
        EXPECT_GT(percents[i], percents[i - 1]);
        EXPECT_LE(percents[i] - percents[i - 1], 20u) << "steps of about ten per cent";
    }
    const Record& last = records.back();
    EXPECT_EQ(last.get("phase"), "finished");
    EXPECT_EQ(last.num("percent"), 100u);
    for (const Record& r : records) {
        EXPECT_EQ(r.num("from"), packedVersion(8, 9, 1));
        EXPECT_GT(r.num("time").value_or(0), 0u);
        EXPECT_EQ(r.get("reason"), "");
    }
    // The last record stays at the broker.
    const auto kept = testsupport::retainedOn(broker->port(), kProgressTopic);
    ASSERT_TRUE(kept);
    EXPECT_EQ(decodeRecord(kept->payload).value_or(Record{}).get("phase"), "finished");
    // The result record beside it stays as it always was.
    const auto result = server->waitFor(kResultTopic, 10s);
    ASSERT_TRUE(result);
    EXPECT_EQ(hex(result->payload), "92 C3 CE 00 08 09 04");
}

TEST_F(ProgressTest, DigestMismatchIsTheReason)
{
    plugKey("8.9.1");
    makeStore("8.9.4");
    // Same size, other bytes: the manifest's digest no longer matches.
    firmware[10] ^= 0xFF;
    dir.write("store/fw.bin", std::string(firmware.begin(), firmware.end()));
    const Record last = failedAttempt(30s);
    EXPECT_EQ(last.get("phase"), "failed");
    EXPECT_EQ(last.get("reason"), "digest_mismatch");
    EXPECT_NE(last.get("detail"), "");
    EXPECT_EQ(key->count(KeyOp::FileOpen), 0u);
}

TEST_F(ProgressTest, MissingStoreIsTheReason)
{
    plugKey("8.9.1");
    const Record last = failedAttempt(30s);
    EXPECT_EQ(last.get("reason"), "no_store");
}

TEST_F(ProgressTest, ChunkNeverAcknowledgedIsTheReasonSlow)
{
    plugKey("8.9.1");
    makeStore("8.9.4");
    // The first chunk of the first try is acknowledged, no later one of any try.
    key->injectFault(KeyOp::FileData, KeyFault::noReply(), 2, 100);
    const Record last = failedAttempt(60s);
    EXPECT_EQ(last.get("phase"), "failed");
    EXPECT_EQ(last.get("reason"), "chunk_not_acknowledged");
    EXPECT_NE(last.get("detail").find("within 5 s"), std::string::npos) << last.get("detail");
    EXPECT_EQ(key->count(KeyOp::FileOpen), 3u);
}

TEST_F(ProgressTest, SilentKeyTimesOutSlow)
{
    plugKey("8.9.1");
    makeStore("8.9.4");
    // The key goes silent: no try's file open is answered.
    key->injectFault(KeyOp::FileOpen, KeyFault::noReply(), 1, 3);
    const Record last = failedAttempt(150s);
    EXPECT_EQ(last.get("phase"), "failed");
    EXPECT_EQ(last.get("reason"), "timeout");
    EXPECT_NE(last.get("detail").find("file open"), std::string::npos) << last.get("detail");
}

TEST_F(ProgressTest, StatusFollowsTheDaemonThroughKillRestartAndStop)
{
    startBroker();
    startDaemon();
    auto online = statusOnceIt("online");
    ASSERT_TRUE(online) << "no online record";
    EXPECT_FALSE(online->get("version").empty());
    EXPECT_GT(online->num("started").value_or(0), 0u);
    EXPECT_EQ(online->num("limits.claim_delay_s"), 0u);
    EXPECT_EQ(online->num("limits.announce_wait_s"), 15u);
    EXPECT_EQ(online->num("limits.transfer_attempts"), 3u);

    // Killed: the broker publishes the last will.
    daemon->signal(SIGKILL);
    daemon->wait(10s);
    auto lost = statusOnceIt("offline");
    ASSERT_TRUE(lost) << "the last will did not turn the status offline";
    EXPECT_FALSE(lost->num("stopped")) << "a lost daemon cannot know when it stopped";
    EXPECT_EQ(lost->num("started"), online->num("started"));

    startDaemon();
    ASSERT_TRUE(statusOnceIt("online")) << "a restarted daemon is online again";

    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->waitExitCode(20s), 0);
    auto stopped = statusOnceIt("offline");
    ASSERT_TRUE(stopped);
    EXPECT_GT(stopped->num("stopped").value_or(0), 0u) << "a clean stop says when";
}

} // namespace
