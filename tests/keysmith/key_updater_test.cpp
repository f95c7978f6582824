// cKeyUpdater in this process against the emulated key and board: what its construction and
// destruction take over and give back. The upgrade decisions are exercised end to end by the
// daemon tests.
#include "keysmith/key_updater.h"

#include "tests/emulators/board_io_emulator.h"
#include "platform/config.h"
#include "tests/emulators/key_emulator.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>
#include <log4cpp/Priority.hh>
#include <memory>
#include <thread>

namespace {

using emulators::BoardIoEmulator;
using emulators::KeyEmulator;
using emulators::KeyFault;
using emulators::KeyOp;
using log4cpp::Priority;
using namespace std::chrono_literals;

class KeyUpdaterTest : public ::testing::Test {
protected:
    emulators::Testbed testbed;
    std::unique_ptr<BoardIoEmulator> board = std::make_unique<BoardIoEmulator>(testbed);
    std::unique_ptr<KeyEmulator> key;
    testsupport::LogCapture log;
    testsupport::TempDir dir;
    std::unique_ptr<USBdevice> device;

    void SetUp() override
    {
        ASSERT_TRUE(cConfig::load(dir.write("keysmith.conf", "vek.orxio.dev=" + board->devnode() + "\n").c_str()));
    }
    void TearDown() override { device.reset(); } // before the emulated key goes

    void plug(KeyEmulator::Options options = {})
    {
        key = std::make_unique<KeyEmulator>(testbed, options);
        device = std::make_unique<USBdevice>(KeyEmulator::kVendorId, KeyEmulator::kProductId);
    }

    /// Waits until the key's interfaces are no longer claimed.
    bool released() const
    {
        return testsupport::waitUntil([&] { return key->usbStats().claimedMask == 0; });
    }
};

TEST_F(KeyUpdaterTest, TakesTheKeyOverAndReleasesLedsThenKeyThenChannel)
{
    plug();
    {
        cKeyUpdater updater(device.get());
        EXPECT_EQ(key->count(KeyOp::LinkStart), 1u);
        EXPECT_EQ(key->count(KeyOp::IdentityRead), 1u);
        EXPECT_NE(key->usbStats().claimedMask, 0u);
        ASSERT_TRUE(board->waitForWrites(8, 10s)) << "the LEDs blink while the updater exists";
        EXPECT_EQ(key->count(KeyOp::LinkEnd), 0u);
    }
    ASSERT_TRUE(key->waitFor(KeyOp::LinkEnd, 1, 10s)) << "the key's link ended, through the channel";
    const auto linkEnd = key->messages(KeyOp::LinkEnd).front().at;
    for (uint16_t pin : {BoardIoEmulator::kGreenId, BoardIoEmulator::kRedId}) {
        const auto w = board->writes(pin);
        ASSERT_FALSE(w.empty());
        EXPECT_EQ(w.back().value, 0) << "pin " << pin << " at rest";
        EXPECT_LT(w.back().at, linkEnd) << "the LEDs went before the key";
    }
    EXPECT_TRUE(board->waitForOpenNow(0, 10s));
    EXPECT_TRUE(released()) << "the channel released the key";
}

struct ConstructionCase {
    const char* name;
    bool claimBusy;
    bool identityUnanswered;
    const char* thrown; // what() of the exception the updater throws
    const char* logged;
};

void PrintTo(const ConstructionCase& c, std::ostream* out) { *out << c.name; }

class UpdaterConstruction : public KeyUpdaterTest, public ::testing::WithParamInterface<ConstructionCase> {};

TEST_P(UpdaterConstruction, FailsWithTheUpdatersOwnException)
{
    const ConstructionCase& c = GetParam();
    KeyEmulator::Options options;
    options.claimBusy = c.claimBusy;
    plug(options);
    if (c.identityUnanswered)
        key->injectFault(KeyOp::IdentityRead, KeyFault::noReply());

    std::string what;
    try {
        cKeyUpdater updater(device.get());
        ADD_FAILURE() << "constructed";
    } catch (const cKeyUpdaterException& e) {
        what = e.what();
    }
    EXPECT_EQ(what, c.thrown);
    EXPECT_TRUE(log.has("cKeyUpdater", Priority::ERROR, c.logged));
    EXPECT_TRUE(released()) << "the key is not left claimed";
    EXPECT_EQ(board->opens(), 0u) << "no LEDs without a key";
}

INSTANTIATE_TEST_SUITE_P(KeyUpdater, UpdaterConstruction,
                         ::testing::Values(ConstructionCase{"KeyNotClaimable", true, false, "a USB exeption",
                                                            "USB exception: could not claim usb device"},
                                           ConstructionCase{"NoIdentityReply", false, true, "a USB exception",
                                                            "Key exception: Read key NVM exception"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
