// The emulated key itself, driven by hand over the channel: the protocol it answers, the
// file it reassembles and the faults it injects. Later suites rely on these behaviours.
#include "keylink_fixture.h"

#include "tests/emulators/packed_image.h"
#include "tests/support/wait.h"

#include <thread>

using namespace keylinktest;
using emulators::KeyEmulator;
using emulators::KeyFault;
using emulators::KeyIdentity;
using emulators::KeyOp;

namespace {

/// The packed file format, written here independently of the key's unpacker.
Bytes pack(const Bytes& data)
{
    Bytes out;
    for (size_t off = 0; off < data.size(); off += 256) {
        size_t n = std::min<size_t>(256, data.size() - off);
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<uint8_t>(n >> (8 * i)));
        uint8_t crc = 0;
        for (size_t i = 0; i < n; ++i) {
            uint8_t b = data[off + i];
            out.push_back(b);
            for (int bit = 0; bit < 8; ++bit, b >>= 1)
                crc = ((crc ^ b) & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
        }
        out.push_back(crc);
    }
    return out;
}

std::unique_ptr<TagMsg> fileOpen(const char* name, uint32_t size, uint32_t packet, uint32_t version)
{
    auto m = std::make_unique<TagMsg>(1);
    m->addTag(TagItemFactory::createTagItem(38, name));
    m->addTag(TagItemFactory::createTagItem(39, size));
    m->addTag(TagItemFactory::createTagItem(40, packet));
    m->addTag(TagItemFactory::createTagItem(42, version));
    return m;
}

std::unique_ptr<TagMsg> fileData(const uint8_t* data, uint16_t n, uint16_t fcs)
{
    auto m = std::make_unique<TagMsg>(5);
    m->addTag(TagItemFactory::createTagItem(37, data, n));
    m->addTag(TagItemFactory::createTagItem(41, fcs));
    return m;
}

Bytes firmware(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>((i * 131 + 7) ^ (i >> 3));
    return b;
}

} // namespace

TEST(PackedImage, KnownAnswerAndDamage)
{
    EXPECT_EQ(pack({'a', 'b', 'c'}), (Bytes{3, 0, 0, 0, 'a', 'b', 'c', 0x42}));
    EXPECT_EQ(emulators::crc8Maxim(reinterpret_cast<const uint8_t*>("abc"), 3), 0x42);

    const Bytes data = firmware(600);
    auto good = emulators::unpackImage(pack(data));
    EXPECT_TRUE(good.ok) << good.error;
    EXPECT_EQ(good.blocks, 3u);
    EXPECT_EQ(good.data, data);

    Bytes badCrc = pack(data);
    badCrc[4 + 256] ^= 1;
    Bytes shortFirst = pack(Bytes(10, 1));
    Bytes tail = pack(Bytes(10, 2));
    shortFirst.insert(shortFirst.end(), tail.begin(), tail.end());
    Bytes cut = pack(data);
    cut.pop_back();
    Bytes zero{0, 0, 0, 0};
    for (const Bytes& bad : {badCrc, shortFirst, cut, zero, Bytes{}})
        EXPECT_FALSE(emulators::unpackImage(bad).ok);
}

TEST_F(KeyLinkTest, IdentityIsWhatTheTestConfigured)
{
    KeyIdentity id = KeyIdentity::defaults();
    id.serial.reset();
    id.texts.erase(8);
    id.texts[1] = "OTHER-BOX";
    key->setIdentity(id);
    cUSBinterface channel(device.get());
    auto reply = channel.request(*command(21), 2);
    ASSERT_TRUE(reply);
    EXPECT_EQ(findTag(*reply, 0), nullptr);
    EXPECT_EQ(findTag(*reply, 8), nullptr);
    EXPECT_EQ(textOf(findTag(*reply, 1)), "OTHER-BOX");
    EXPECT_EQ(numberOf(findTag(*reply, 36)), 1u);

    auto end = channel.request(*command(22), 2);
    ASSERT_TRUE(end);
    EXPECT_EQ(key->count(KeyOp::LinkEnd), 1u);
}

TEST_F(KeyLinkTest, FileTransferIsReassembledAndChecked)
{
    const Bytes data = firmware(600);
    const Bytes packed = pack(data);
    key->setGrantedPacketSize(100);
    cUSBinterface channel(device.get());
    ASSERT_TRUE(channel.send(*command(27)));

    auto open = channel.request(*fileOpen("binary.bin", static_cast<uint32_t>(packed.size()), 1000, 0x080903), 2);
    ASSERT_TRUE(open);
    EXPECT_EQ(open->status, 0);
    EXPECT_EQ(textOf(findTag(*open, 38)), "binary.bin");
    EXPECT_EQ(numberOf(findTag(*open, 40)), 100u);

    for (size_t off = 0; off < packed.size(); off += 100) {
        uint16_t n = static_cast<uint16_t>(std::min<size_t>(100, packed.size() - off));
        auto ack = channel.request(*fileData(&packed[off], n, cHDLCframer::fcs16(&packed[off], n)), 2);
        ASSERT_TRUE(ack);
        TagItem* first = ack->gotoFirst();
        ASSERT_TRUE(first);
        EXPECT_EQ(first->tagId, 41);
    }
    ASSERT_TRUE(channel.send(*command(27)));
    ASSERT_TRUE(key->waitFor(KeyOp::TransferEnd, 1, 10s));

    auto f = key->file();
    EXPECT_EQ(f.name, "binary.bin");
    EXPECT_EQ(f.declaredSize, packed.size());
    EXPECT_EQ(f.proposedPacketSize, 1000u);
    EXPECT_EQ(f.chunkSizes, (std::vector<size_t>{100, 100, 100, 100, 100, 100, 15}));
    EXPECT_TRUE(f.ended);
    EXPECT_EQ(f.packed, packed);
    EXPECT_TRUE(f.unpacked.ok) << f.unpacked.error;
    EXPECT_EQ(f.unpacked.data, data);
    EXPECT_EQ(key->identity().texts[8], "8.9.3") << "the key now runs the transferred version";
    EXPECT_EQ(key->count(KeyOp::LinkStart), 1u);
}

TEST_F(KeyLinkTest, FileOpenRepliesFollowTheConfiguration)
{
    struct Case {
        const char* what;
        std::function<void(KeyEmulator&)> setUp;
        uint8_t status;
        std::string echo;
        std::optional<uint32_t> packet;
    };
    const std::vector<Case> cases{
        {"accepted", [](KeyEmulator&) {}, 0, "binary.bin", 256},
        {"refused", [](KeyEmulator& k) { k.setOpenStatus(2); }, 2, "binary.bin", 256},
        {"status fault", [](KeyEmulator& k) { k.injectFault(KeyOp::FileOpen, KeyFault::withStatus(7)); }, 7,
         "binary.bin", 256},
        {"wrong echo", [](KeyEmulator& k) { k.injectFault(KeyOp::FileOpen, KeyFault::wrongEcho("other.bin")); }, 0,
         "other.bin", 256},
        {"no packet size", [](KeyEmulator& k) { k.setGrantedPacketSize(std::nullopt); }, 0, "binary.bin", std::nullopt},
    };
    cUSBinterface channel(device.get());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        key->setOpenStatus(0);
        key->setGrantedPacketSize(256);
        c.setUp(*key);
        auto reply = channel.request(*fileOpen("binary.bin", 10, 1000, 1), 2);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, c.status);
        EXPECT_EQ(textOf(findTag(*reply, 38)), c.echo);
        if (c.packet)
            EXPECT_EQ(numberOf(findTag(*reply, 40)), *c.packet);
        else
            EXPECT_EQ(findTag(*reply, 40), nullptr);
    }
}

TEST_F(KeyLinkTest, DataRepliesAndTheirFaults)
{
    const Bytes chunk = firmware(50);
    const uint16_t fcs = cHDLCframer::fcs16(chunk.data(), chunk.size());
    cUSBinterface channel(device.get());
    ASSERT_TRUE(channel.request(*fileOpen("binary.bin", 150, 1000, 1), 2));

    auto bad = channel.request(*fileData(chunk.data(), 50, fcs ^ 1), 2);
    ASSERT_TRUE(bad);
    EXPECT_NE(bad->status, 0);
    EXPECT_EQ(findTag(*bad, 41), nullptr);

    key->injectFault(KeyOp::FileData, KeyFault::firstTagNot41());
    auto odd = channel.request(*fileData(chunk.data(), 50, fcs), 2);
    ASSERT_TRUE(odd);
    EXPECT_NE(odd->gotoFirst()->tagId, 41);
    EXPECT_NE(findTag(*odd, 41), nullptr);

    key->injectFault(KeyOp::FileData, KeyFault::noReply(), 2);
    EXPECT_TRUE(channel.request(*fileData(chunk.data(), 50, fcs), 2));
    EXPECT_FALSE(channel.request(*fileData(chunk.data(), 50, fcs), 1));

    auto f = key->file();
    EXPECT_EQ(f.badChunks, 1u);
    EXPECT_EQ(f.chunkSizes.size(), 3u) << "the ignored chunk is not counted";
    EXPECT_EQ(f.packed.size(), 100u) << "only acknowledged chunks are kept";
}

TEST_F(KeyLinkTest, UnplugAfterSomeDataChunks)
{
    const Bytes chunk = firmware(40);
    const uint16_t fcs = cHDLCframer::fcs16(chunk.data(), chunk.size());
    key->injectFault(KeyOp::FileData, KeyFault::unplug(), 3);
    cUSBinterface channel(device.get());
    ASSERT_TRUE(channel.request(*fileOpen("binary.bin", 200, 1000, 1), 2));
    EXPECT_TRUE(channel.request(*fileData(chunk.data(), 40, fcs), 2));
    EXPECT_TRUE(channel.request(*fileData(chunk.data(), 40, fcs), 2));
    EXPECT_FALSE(channel.request(*fileData(chunk.data(), 40, fcs), 1));
    EXPECT_FALSE(key->plugged());
    auto f = key->file();
    EXPECT_TRUE(f.interrupted);
    EXPECT_EQ(f.packed.size(), 80u);
}

TEST_F(KeyLinkTest, UnplugAndReplugByItself)
{
    key->injectFault(KeyOp::IdentityRead, KeyFault::unplugReplug(300ms));
    {
        cUSBinterface channel(device.get());
        EXPECT_FALSE(channel.request(*command(21), 1));
    }
    ASSERT_TRUE(testsupport::waitUntil([&] { return key->plugged() && device->isPresent(); }));
    cUSBinterface again(device.get());
    EXPECT_TRUE(again.request(*command(21), 2));
    EXPECT_EQ(key->usbStats().detaches, 2u) << "the driver was bound again on replug";
}
