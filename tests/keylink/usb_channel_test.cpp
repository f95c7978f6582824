// USBdevice and cUSBinterface through the real libusb against the emulated key.
#include "keylink_fixture.h"

#include "tests/support/child_process.h"
#include "tests/support/thread_start_failure.h"
#include "tests/support/wait.h"

#include <future>
#include <optional>
#include <thread>

using namespace keylinktest;
using emulators::KeyEmulator;
using emulators::KeyFault;
using emulators::KeyOp;
using testsupport::kSchedulingSlackSeconds;
using testsupport::waitUntil;

namespace {

/// A message whose frame is exactly `frameLength` bytes long (a byte string sized to fit).
std::unique_ptr<TagMsg> messageWithFrameLength(uint32_t frameLength, Bytes* frameOut)
{
    for (uint16_t n = 0; n < 900; ++n) {
        for (uint8_t last = 0x30; last < 0x60; ++last) {
            Bytes data(n, 0x41);
            if (n)
                data.back() = last;
            auto m = std::make_unique<TagMsg>(1);
            m->addTag(TagItemFactory::createTagItem(37, data.data(), n));
            uint8_t payload[1024];
            size_t len = m->getMsg(payload, sizeof payload);
            Bytes frame(2048);
            frame.resize(cHDLCframer::encode(payload, static_cast<uint32_t>(len), frame.data(), 2048));
            if (frame.size() == frameLength) {
                *frameOut = frame;
                return m;
            }
            if (!n)
                break;
        }
    }
    return nullptr;
}

} // namespace

TEST_F(KeyLinkTest, FindsAndClaimsTheKeyDetachingTheKernelDriver)
{
    EXPECT_TRUE(device->isPresent());
    EXPECT_TRUE(log.has("USBdevice", log4cpp::Priority::DEBUG, "Found  vID: 0x1781 - pID: 0x0B97"));
    ASSERT_TRUE(device->open());
    EXPECT_EQ(log.count("Kernel driver detached"), 1u);
    auto s = key->usbStats();
    EXPECT_EQ(s.detaches, 1u);
    EXPECT_EQ(s.claimedMask, 0x3u);
    EXPECT_EQ(s.boundMask, 0x0u);

    device->close();
    s = key->usbStats();
    EXPECT_EQ(s.claimedMask, 0x0u);
    EXPECT_EQ(s.releases, 2u);
    device->close(); // nothing open: nothing happens
    EXPECT_EQ(device->read(nullptr, 0), -2);
    EXPECT_EQ(device->write(nullptr, 0), -2);
}

TEST_F(KeyLinkTest, ListDevicesDumpsEveryDevice)
{
    device->listDevices();
    auto lines = log.messages("USBdevice");
    auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
    EXPECT_TRUE(has(std::string(88, '=')));
    EXPECT_TRUE(has("Found 1 USB devices"));
    EXPECT_TRUE(has("------------- VendorID: 0x1781 - ProductID: 0x0B97 ---------------\n"));
    EXPECT_TRUE(has("Number of possible configurations: 1"));
    EXPECT_TRUE(has("Interfaces: 2"));
    EXPECT_TRUE(has("Number of endpoints: 2"));
    EXPECT_TRUE(has("  EP Address: 0x82\n"));
    EXPECT_TRUE(has(std::string(66, '-') + "\n"));

    key->unplug();
    log.clear();
    EXPECT_TRUE(waitUntil([&] {
        device->listDevices();
        return log.contains("No USB devices");
    }));
    EXPECT_TRUE(log.has("USBdevice", log4cpp::Priority::DEBUG, "No USB devices"));
}

TEST_F(KeyLinkTest, AKeyThatIsNotThereIsNotClaimed)
{
    USBdevice other(0x1781, 0x0B98);
    EXPECT_FALSE(other.isPresent());
    EXPECT_FALSE(other.open());
    try {
        cUSBinterface channel(&other);
        FAIL() << "channel built without a key";
    } catch (const cKeyUpdaterException& e) {
        EXPECT_NE(dynamic_cast<const cUSBinterfaceExceptionClaim*>(&e), nullptr);
        EXPECT_STREQ(e.what(), "could not claim usb device");
    }
    EXPECT_STREQ(cUSBinterfaceException().what(), "a USB exeption");
    EXPECT_STREQ(cKeyUpdaterException().what(), "an updater exception");
}

TEST_F(KeyLinkTest, OpenSkipsAKeyWhoseInterfacesAreBusy)
{
    // Two keys, one held by someone else: the free one is taken whichever comes first on the
    // bus, and in one of the two arrangements the busy one is tried (and let go) first.
    key.reset();
    device.reset();
    unsigned busyOpens = 0;
    for (int busyDevnum : {2, 3}) {
        SCOPED_TRACE(busyDevnum);
        std::vector<std::unique_ptr<KeyEmulator>> keys;
        for (int devnum : {2, 3}) {
            KeyEmulator::Options o;
            o.devnum = devnum;
            o.sysfsPath = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(devnum - 1);
            o.claimBusy = devnum == busyDevnum;
            keys.push_back(std::make_unique<KeyEmulator>(testbed, o));
        }
        KeyEmulator& busy = *keys[busyDevnum - 2];
        KeyEmulator& free = *keys[3 - busyDevnum];
        {
            USBdevice dev(0x1781, 0x0B97);
            ASSERT_TRUE(dev.open());
            EXPECT_EQ(free.usbStats().claimedMask, 0x3u);
            EXPECT_EQ(busy.usbStats().claimedMask, 0x0u);
            busyOpens += busy.usbStats().opens;
        }
    }
    EXPECT_GE(busyOpens, 1u);
    // The board log says why the busy key was let go.
    EXPECT_TRUE(log.has("USBdevice", log4cpp::Priority::ERROR, "usb: claim interface 0: LIBUSB_ERROR_BUSY"));
}

TEST_F(KeyLinkTest, RequestGetsTheKeysReply)
{
    cUSBinterface channel(device.get());
    auto reply = channel.request(*command(21), 2);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 0);
    EXPECT_EQ(numberOf(findTag(*reply, 0)), 0x00A1B2C3u);
    EXPECT_EQ(textOf(findTag(*reply, 1)), "KEYBOX-7");
    EXPECT_EQ(textOf(findTag(*reply, 8)), "8.9.1");

    auto received = key->messages();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].op, KeyOp::IdentityRead);
    EXPECT_EQ(received[0].type, 1);
    EXPECT_EQ(countIn("cUSBinterface", "TX "), 1u);
    EXPECT_EQ(countIn("cUSBinterface", "RX "), 1u);
    EXPECT_GE(countIn("USBdevice", "Wrote "), 1u);

    // send() does not wait; the key records what arrives.
    EXPECT_TRUE(channel.send(*command(27)));
    EXPECT_TRUE(key->waitFor(KeyOp::LinkStart, 1, 10s));
}

TEST_F(KeyLinkTest, SilentKeyMakesTheRequestTimeOut)
{
    key->injectFault(KeyOp::IdentityRead, KeyFault::noReply());
    cUSBinterface channel(device.get());
    auto t0 = Clock::now();
    EXPECT_EQ(channel.request(*command(21), 1), nullptr);
    double waited = secondsSince(t0);
    EXPECT_GE(waited, 0.95);
    EXPECT_LT(waited, 1.0 + kSchedulingSlackSeconds);
    EXPECT_TRUE(log.has("cUSBinterface", log4cpp::Priority::ERROR, "Timeout  "));
    // The next request is answered again.
    EXPECT_TRUE(channel.request(*command(21), 2));
}

TEST_F(KeyLinkTest, FillerByteFollowsFramesOfAMultipleOf64Bytes)
{
    cUSBinterface channel(device.get());
    for (uint32_t length : {63u, 64u, 65u, 127u, 128u, 150u}) {
        SCOPED_TRACE(length);
        Bytes frame;
        auto msg = messageWithFrameLength(length, &frame);
        ASSERT_TRUE(msg);
        key->clearRecords();
        ASSERT_TRUE(channel.send(*msg));
        Bytes expected = frame;
        if (length % 64 == 0)
            expected.push_back(cUSBinterface::kFiller);
        EXPECT_EQ(key->outStream(), expected);
        std::vector<size_t> pieces;
        for (const auto& p : key->outPackets())
            pieces.push_back(p.data.size());
        std::vector<size_t> want;
        for (size_t left = expected.size(); left; left -= std::min<size_t>(63, left))
            want.push_back(std::min<size_t>(63, left));
        EXPECT_EQ(pieces, want);
        EXPECT_EQ(key->count(KeyOp::Unknown), 1u) << "the key read one whole message";
    }
    // 150 bytes: two full pieces and the rest.
    Bytes frame;
    ASSERT_TRUE(channel.send(*messageWithFrameLength(150, &frame)));
    auto packets = key->outPackets();
    ASSERT_GE(packets.size(), 3u);
    EXPECT_EQ(packets[packets.size() - 3].data.size(), 63u);
    EXPECT_EQ(packets[packets.size() - 2].data.size(), 63u);
    EXPECT_EQ(packets[packets.size() - 1].data.size(), 24u);
}

TEST_F(KeyLinkTest, ReplySplitOverSeveralReadsIsReportedOnce)
{
    cUSBinterface channel(device.get());
    for (size_t piece : {1u, 5u, 63u}) {
        SCOPED_TRACE(piece);
        log.clear();
        key->injectFault(KeyOp::IdentityRead, KeyFault::splitReply(piece, 5ms));
        // A byte per read is slow under emulation on a loaded machine: a generous limit, which a
        // reply that arrives ends at once.
        auto reply = channel.request(*command(21), 10);
        ASSERT_TRUE(reply);
        EXPECT_EQ(textOf(findTag(*reply, 1)), "KEYBOX-7");
        EXPECT_EQ(countIn("cUSBinterface", "RX "), 1u);
        EXPECT_GE(countIn("USBdevice", "RX "), 2u) << "the reply came in several reads";
    }
}

TEST_F(KeyLinkTest, StartOfTheNextFrameInTheSameReadLeavesTheReplyIntact)
{
    // Reply A and the first half of an unrelated frame B arrive in one USB read: the framer
    // starts collecting B at once, but the request still gets A whole.
    TagMsg a(1);
    a.addTag(TagItemFactory::createTagItem(1, "the reply"));
    TagMsg b(1);
    b.addTag(TagItemFactory::createTagItem(1, "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX"));
    auto frameOf = [](const TagMsg& m) {
        uint8_t payload[256];
        size_t n = m.getMsg(payload, sizeof payload);
        Bytes f(600);
        f.resize(cHDLCframer::encode(payload, static_cast<uint32_t>(n), f.data(), 600));
        return f;
    };
    Bytes raw = frameOf(a);
    Bytes fb = frameOf(b);
    raw.insert(raw.end(), fb.begin(), fb.begin() + 20);
    ASSERT_LT(raw.size(), 64u) << "one short packet, one read";
    key->injectFault(KeyOp::IdentityRead, KeyFault::rawReply(raw));

    cUSBinterface channel(device.get());
    auto reply = channel.request(*command(21), 2);
    ASSERT_TRUE(reply);
    EXPECT_EQ(textOf(findTag(*reply, 1)), "the reply");
}

TEST_F(KeyLinkTest, CorruptedReplyIsDroppedAndTheRequestTimesOut)
{
    key->injectFault(KeyOp::IdentityRead, KeyFault::corruptFcs());
    cUSBinterface channel(device.get());
    EXPECT_EQ(channel.request(*command(21), 1), nullptr);
    EXPECT_TRUE(log.has("cSerialPort", log4cpp::Priority::ERROR, "CRC check failed"));
    EXPECT_TRUE(log.has("cUSBinterface", log4cpp::Priority::ERROR, "Timeout  "));
}

TEST_F(KeyLinkTest, GoodFrameThatIsNoMessageGivesNoReply)
{
    uint8_t junk[] = {1, 0, 99, 1, 0, 0}; // item of an unknown kind
    Bytes frame(32);
    frame.resize(cHDLCframer::encode(junk, sizeof junk, frame.data(), 32));
    key->injectFault(KeyOp::IdentityRead, KeyFault::rawReply(frame));
    cUSBinterface channel(device.get());
    EXPECT_EQ(channel.request(*command(21), 2), nullptr);
    EXPECT_FALSE(log.contains("Timeout  ")) << "answered, just not parsable";
}

TEST_F(KeyLinkTest, LateReplyWithinTheLimitIsTaken)
{
    key->injectFault(KeyOp::IdentityRead, KeyFault::lateReply(400ms));
    cUSBinterface channel(device.get());
    auto t0 = Clock::now();
    auto reply = channel.request(*command(21), 2);
    EXPECT_TRUE(reply);
    EXPECT_GE(secondsSince(t0), 0.38);
}

TEST_F(KeyLinkTest, AfterAnUnplugTheReaderEndsAndRequestsTimeOut)
{
    {
        cUSBinterface channel(device.get());
        ASSERT_TRUE(channel.request(*command(21), 2));
        key->unplug();
        EXPECT_TRUE(log.waitFor("Listener err", 10s)) << "the reader thread saw the device go";
        EXPECT_FALSE(channel.send(*command(27)));
        auto t0 = Clock::now();
        EXPECT_EQ(channel.request(*command(21), 1), nullptr);
        EXPECT_GE(secondsSince(t0), 0.95);
        EXPECT_TRUE(log.has("cUSBinterface", log4cpp::Priority::ERROR, "Timeout  "));
    }
    // Gone from the bus until it is plugged in again; then a new channel works.
    EXPECT_TRUE(waitUntil([&] { return !device->isPresent(); }));
    EXPECT_THROW(cUSBinterface{device.get()}, cUSBinterfaceExceptionClaim);
    ASSERT_TRUE(key->replug());
    ASSERT_TRUE(waitUntil([&] { return device->isPresent(); }));
    cUSBinterface again(device.get());
    EXPECT_TRUE(again.request(*command(21), 2));
}

TEST_F(KeyLinkTest, ChannelGoesWithinAboutASecond)
{
    const unsigned submitted = key->usbStats().submits;
    auto channel = std::make_unique<cUSBinterface>(device.get());
    // The reader is inside its 1000 ms read once it has submitted it.
    ASSERT_TRUE(waitUntil([&] { return key->usbStats().submits > submitted; }));
    auto t0 = Clock::now();
    channel.reset();
    EXPECT_LT(secondsSince(t0), 1.0 + kSchedulingSlackSeconds) << "a read that is not cut short lasts 1 s";
    EXPECT_EQ(key->usbStats().claimedMask, 0x0u) << "device closed with the channel";
}

// A key that stops taking data: the write gives up after its time limit and counts as failed,
// and the channel works again once the key reads again (the stuck transfer was given up).
TEST_F(KeyLinkTest, WriteTheKeyDoesNotTakeFailsAfterItsTimeLimit)
{
    cUSBinterface channel(device.get());
    key->usb().stallOutAfter(0);
    const auto t0 = Clock::now();
    auto sent = std::async(std::launch::async, [&] { return channel.send(*command(27)); });
    const bool ended = sent.wait_for(20s) == std::future_status::ready;
    if (!ended)
        key->unplug(); // fails the stuck transfer, so that the test can end
    ASSERT_TRUE(ended) << "the write never ended";
    EXPECT_FALSE(sent.get());
    EXPECT_GE(secondsSince(t0), USBdevice::kWriteTimeoutMs / 1000.0 - 0.05);
    EXPECT_TRUE(log.has("USBdevice", log4cpp::Priority::DEBUG, "Write Error!"));
    EXPECT_EQ(key->usbStats().stalledOuts, 1u);
    EXPECT_EQ(key->count(KeyOp::LinkStart), 0u);

    key->usb().stallOutAfter(std::nullopt);
    EXPECT_TRUE(channel.request(*command(21), 2));
}

// A frame that completed before the request was written is not its reply, even when the reader
// gets to it only after the request: the key's answer that follows is taken instead.
TEST_F(KeyLinkTest, FrameAlreadyOnItsWayIsNotTakenForTheReply)
{
    TagMsg earlier(1);
    earlier.addTag(TagItemFactory::createTagItem(1, "sent before the request"));
    uint8_t payload[128];
    const size_t n = earlier.getMsg(payload, sizeof payload);
    Bytes frame(300);
    frame.resize(cHDLCframer::encode(payload, static_cast<uint32_t>(n), frame.data(), 300));

    cUSBinterface channel(device.get());
    ASSERT_TRUE(channel.request(*command(21), 2)); // the reader is now in its next read
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        log.clear();
        key->usb().queueInBeforeNextOut(0x82, frame);
        auto reply = channel.request(*command(21), 2);
        ASSERT_TRUE(reply);
        EXPECT_EQ(textOf(findTag(*reply, 1)), "KEYBOX-7");
        // Under load both frames can come in one read; which one is the reply is what counts.
        EXPECT_GE(countIn("cUSBinterface", "RX "), 1u);
    }
}

// Threads cannot be had: the channel fails with the daemon's own exception, which the loop
// handles per attempt, and leaves the key released. Only the thread that builds the channel is
// refused threads, so the reader is the one start that fails.
TEST_F(KeyLinkTest, ReaderThatCannotStartFailsWithTheChannelException)
{
    std::string caught = "nothing";
    size_t refused = 0;
    {
        testsupport::ThreadStartFailure failure;
        try {
            cUSBinterface channel(device.get());
        } catch (const cUSBinterfaceExceptionClaim&) {
            caught = "claim";
        } catch (const cUSBinterfaceException& e) {
            caught = e.what();
        } catch (const std::exception& e) {
            caught = std::string("std: ") + e.what();
        }
        refused = failure.refused();
    }

    EXPECT_EQ(caught, "a USB exeption");
    EXPECT_EQ(refused, 1u) << "the reader's start, and nothing else";
    EXPECT_TRUE(log.contains("Could not start the USB reader"));
    EXPECT_EQ(key->usbStats().claimedMask, 0x0u) << "the key is released again";
    cUSBinterface again(device.get());
    EXPECT_TRUE(again.request(*command(21), 2));
}

TEST_F(KeyLinkTest, SendRefusesWhatDoesNotFitAndWritesNothing)
{
    cUSBinterface channel(device.get());
    Bytes big(800, 0x41);
    TagMsg tooLong(5); // 801 bytes serialised: over the message limit
    tooLong.addTag(TagItemFactory::createTagItem(37, big.data(), 795));
    EXPECT_FALSE(channel.send(tooLong));

    Bytes flags(700, 0x7E); // fits 800 bytes, but every byte is stuffed: over 1024 framed
    TagMsg stuffed(5);
    stuffed.addTag(TagItemFactory::createTagItem(37, flags.data(), 700));
    EXPECT_FALSE(channel.send(stuffed));
    EXPECT_FALSE(channel.request(stuffed, 1));

    EXPECT_TRUE(key->outPackets().empty());

    TagMsg largest(5); // exactly 800 bytes, framed within 1024
    largest.addTag(TagItemFactory::createTagItem(37, big.data(), 794));
    uint8_t payload[800];
    ASSERT_EQ(largest.getMsg(payload, sizeof payload), 800u);
    Bytes frame(1024);
    frame.resize(cHDLCframer::encode(payload, 800, frame.data(), 1024));
    EXPECT_TRUE(channel.send(largest));
    EXPECT_EQ(key->outStream(), frame);
}

TEST_F(KeyLinkTest, AChildProgramReachesTheKeyThroughTheTestbed)
{
    device.reset(); // the child is the only one on the bus
    testsupport::ChildProcess child({KEY_PROBE}, testbed.childEnvironment());
    auto code = child.waitExitCode(10s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0) << child.stderrText();
    EXPECT_EQ(child.stdoutText(), "serial 00A1B2C3\n");
    EXPECT_EQ(key->count(KeyOp::IdentityRead), 1u);
    EXPECT_EQ(key->usbStats().detaches, 1u);
}
