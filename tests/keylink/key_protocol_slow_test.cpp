// The key protocol's time limits against the emulated key: a lost acknowledgement, the
// transfer retries of an upgrade, and a key that does not answer the identity read.
#include "key_protocol_fixture.h"
#include "tests/support/wait.h"

using namespace keylinktest;
using emulators::KeyFault;
using emulators::KeyOp;
using log4cpp::Priority;

TEST_F(KeyProtocolTest, LostAcknowledgementIsRetriedFromTheStart)
{
    const Bytes data = firmwareBytes(3000);
    auto binary = firmware(data);
    key->injectFault(KeyOp::FileData, KeyFault::noReply(), 4);
    cUSBinterface channel(device.get());
    cKey k(&channel);
    const auto t0 = Clock::now();
    EXPECT_TRUE(k.upgrade(binary.get()));
    const double took = secondsSince(t0);
    EXPECT_GE(took, 4.9) << "the chunk's reply is awaited 5 s";
    EXPECT_LT(took, 2 * 5.0) << "and once only";
    ASSERT_TRUE(key->waitFor(KeyOp::TransferEnd, 1, 10s));

    const auto files = key->files();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_TRUE(files[0].interrupted);
    EXPECT_FALSE(files[0].ended);
    EXPECT_EQ(files[0].chunkSizes.size(), 3u) << "three chunks went through before the lost one";
    EXPECT_TRUE(files[1].ended);
    ASSERT_TRUE(files[1].unpacked.ok) << files[1].unpacked.error;
    EXPECT_EQ(files[1].unpacked.data, data) << "the second transfer starts over";
    EXPECT_EQ(log.count("USB session Transfer failed"), 1u);
    EXPECT_TRUE(log.has("cUSBinterface", Priority::ERROR, "Timeout  "));
}

TEST_F(KeyProtocolTest, UpgradeGivesUpAfterThreeTransfers)
{
    auto binary = firmware(firmwareBytes(1000));
    key->injectFault(KeyOp::FileData, KeyFault::noReply(), 1, 3);
    cUSBinterface channel(device.get());
    cKey k(&channel);
    const auto t0 = Clock::now();
    EXPECT_FALSE(k.upgrade(binary.get()));
    const double took = secondsSince(t0);
    EXPECT_GE(took, 3 * 4.9);
    EXPECT_LT(took, 4 * 5.0) << "three waits of 5 s, not a fourth";
    EXPECT_EQ(key->count(KeyOp::FileOpen), 3u);
    EXPECT_EQ(key->count(KeyOp::FileData), 3u);
    EXPECT_EQ(key->count(KeyOp::TransferEnd), 0u);
    EXPECT_EQ(log.count("USB session Transfer failed"), 3u);
}

TEST_F(KeyProtocolTest, NoIdentityReplyIsAnNvmReadFailure)
{
    key->injectFault(KeyOp::IdentityRead, KeyFault::noReply());
    cUSBinterface channel(device.get());
    const auto t0 = Clock::now();
    try {
        cKey k(&channel);
        ADD_FAILURE() << "constructed without an identity";
    } catch (const cKeyException& e) {
        EXPECT_NE(dynamic_cast<const cKeyExceptionNVMread*>(&e), nullptr);
        EXPECT_STREQ(e.what(), "Read key NVM exception");
    }
    EXPECT_GE(secondsSince(t0), 4.9);
    EXPECT_EQ(ops(), (std::vector<KeyOp>{KeyOp::LinkStart, KeyOp::IdentityRead}))
        << "the link start went out first; a key that never answered gets no link end";
    EXPECT_FALSE(log.contains("Connected"));
}

// A key that grants a packet size of 1 and answers every chunk late but in time would hold the
// upgrade for about a day per transfer; the upgrade's time limit for the file's size ends it.
TEST_F(KeyProtocolTest, SlowKeyIsGivenUpAtTheUpgradeTimeLimit)
{
    auto binary = firmware(firmwareBytes(3000)); // 3060 bytes packed
    key->setGrantedPacketSize(1);
    key->injectFault(KeyOp::FileData, KeyFault::lateReply(20ms), 1, 1000000);
    cUSBinterface channel(device.get());
    cKey k(&channel);
    cKey::UpgradeTimeLimit limit;
    limit.base_seconds = 2;
    limit.bytes_per_second = 1000;
    EXPECT_EQ(limit.secondsFor(3060), 6u);
    k.setUpgradeTimeLimit(limit);
    const auto t0 = Clock::now();
    EXPECT_FALSE(k.upgrade(binary.get()));
    const double took = secondsSince(t0);
    EXPECT_GE(took, 5.0);
    EXPECT_LT(took, 6.0 + 1.0 + testsupport::kSchedulingSlackSeconds) << "the limit, and no chunk's full 5 s after it";
    EXPECT_EQ(key->count(KeyOp::FileOpen), 1u) << "no second transfer once the time is up";
    EXPECT_EQ(key->count(KeyOp::TransferEnd), 0u);
    EXPECT_LT(key->count(KeyOp::FileData), 3060u);
    EXPECT_TRUE(
        log.has("cKey", Priority::ERROR, "Upgrade given up after 6 s, the time limit for a file of 3000 bytes"));
}

// The limits the daemon runs with: two minutes, and a second for every 1000 bytes packed.
TEST(UpgradeTimeLimit, GrowsWithThePackedSize)
{
    const cKey::UpgradeTimeLimit limit;
    struct Case {
        size_t packed;
        unsigned long seconds;
    } cases[] = {{0, 120}, {1, 121}, {1000, 121}, {1001, 122}, {cKeyFileTransfer::kMaxPacked, 645}};
    for (const Case& c : cases)
        EXPECT_EQ(limit.secondsFor(c.packed), c.seconds) << c.packed;
}
