// cKey and cKeyFileTransfer against the emulated key: the link, the identity record, the
// version clear message and whole firmware transfers with their failures.
#include "key_protocol_fixture.h"

#include <cstdio>
#include <functional>

#include <sys/stat.h>
#include <unistd.h>

using namespace keylinktest;
using emulators::KeyEmulator;
using emulators::KeyFault;
using emulators::KeyIdentity;
using emulators::KeyOp;
using log4cpp::Priority;

namespace {

std::vector<size_t> chunksOf(size_t total, size_t size)
{
    std::vector<size_t> out;
    for (size_t off = 0; off < total; off += size)
        out.push_back(std::min(size, total - off));
    return out;
}

} // namespace

TEST_F(KeyProtocolTest, UpgradeTransfersTheFileWithinTheLink)
{
    const Bytes data = firmwareBytes(20000);
    auto binary = firmware(data, "8.9.3");
    const size_t packed = cKeyFileTransfer::packedSize(data.size());
    {
        cUSBinterface channel(device.get());
        cKey k(&channel);
        EXPECT_EQ(k.getSerial(), 0x00A1B2C3u);
        EXPECT_EQ(k.getVersion(), 0x080901u);
        EXPECT_TRUE(k.upgrade(binary.get()));
        ASSERT_TRUE(key->waitFor(KeyOp::TransferEnd, 1, 10s));
    }
    std::vector<KeyOp> expected{KeyOp::LinkStart, KeyOp::IdentityRead, KeyOp::FileOpen};
    expected.insert(expected.end(), (packed + 255) / 256, KeyOp::FileData);
    expected.push_back(KeyOp::TransferEnd);
    expected.push_back(KeyOp::LinkEnd);
    EXPECT_EQ(ops(), expected);

    const auto f = key->file();
    EXPECT_EQ(f.name, "binary.bin");
    EXPECT_EQ(f.declaredSize, packed);
    EXPECT_EQ(f.proposedPacketSize, 1000u);
    EXPECT_EQ(f.version, 0x080903u);
    EXPECT_EQ(f.chunkSizes, chunksOf(packed, 256));
    EXPECT_EQ(f.badChunks, 0u);
    EXPECT_TRUE(f.ended);
    ASSERT_TRUE(f.unpacked.ok) << f.unpacked.error;
    EXPECT_EQ(f.unpacked.data, data);

    EXPECT_TRUE(log.has("cKeyFileTransfer", Priority::DEBUG,
                        "File " + store.file("fw.bin") + " is " + std::to_string(packed) + " bytes"));
    EXPECT_TRUE(log.has("cKeyFileTransfer", Priority::DEBUG, "Packed binary"));
    EXPECT_TRUE(log.has("cKeyFileTransfer", Priority::DEBUG, "Packet size for transfer 256"));
    EXPECT_TRUE(log.has("cKey", Priority::DEBUG, "Disconnected"));
}

TEST_F(KeyProtocolTest, ChunkSizesFollowTheGrantedPacketSize)
{
    const struct {
        const char* what;
        std::optional<uint32_t> granted;
        Bytes data;
        std::vector<size_t> chunks;
        uint32_t logged;
    } cases[] = {
        {"granted 100", 100, firmwareBytes(256), {100, 100, 61}, 100},
        {"no tag 40 keeps 1000", std::nullopt, firmwareBytes(600), {615}, 1000},
        {"largest chunk a message carries", 788, firmwareBytes(3000), {788, 788, 788, 696}, 788},
    };
    cUSBinterface channel(device.get());
    cKeyFileTransfer transfer(&channel);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        key->setGrantedPacketSize(c.granted);
        auto binary = firmware(c.data);
        EXPECT_TRUE(transfer.transfer(binary.get(), "binary.bin"));
        ASSERT_TRUE(key->waitFor(KeyOp::TransferEnd, 1, 10s));
        const auto f = key->file();
        EXPECT_EQ(f.chunkSizes, c.chunks);
        EXPECT_TRUE(f.unpacked.ok) << f.unpacked.error;
        EXPECT_EQ(f.unpacked.data, c.data);
        EXPECT_TRUE(
            log.has("cKeyFileTransfer", Priority::DEBUG, "Packet size for transfer " + std::to_string(c.logged)));
        key->clearRecords();
        log.clear();
    }
}

// Every failure ends the transfer where it happens: nothing after it reaches the key, and in
// particular no transfer end, which would make the key take a partial file.
TEST_F(KeyProtocolTest, FailedTransfersStopWhereTheyFail)
{
    struct Case {
        const char* what;
        Bytes data;
        std::function<void(KeyEmulator&, const cKeyBinary&)> setUp;
        const char* remoteName;
        size_t opens, chunks;
        Priority::Value priority;
        std::string logged;
    };
    const std::string fw = store.file("fw.bin");
    const Bytes ordinary = firmwareBytes(2000);
    const auto none = [](KeyEmulator&, const cKeyBinary&) {};
    const std::vector<Case> cases{
        {"open refused", ordinary, [](KeyEmulator& k, const cKeyBinary&) { k.setOpenStatus(2); }, "binary.bin", 1, 0,
         Priority::ERROR, "The key refused file binary.bin: status 2"},
        {"name not echoed", ordinary,
         [](KeyEmulator& k, const cKeyBinary&) { k.injectFault(KeyOp::FileOpen, KeyFault::wrongEcho("binary.bi")); },
         "binary.bin", 1, 0, Priority::ERROR, "The key did not confirm file binary.bin"},
        {"packet size 0", ordinary, [](KeyEmulator& k, const cKeyBinary&) { k.setGrantedPacketSize(0); }, "binary.bin",
         1, 0, Priority::ERROR, "The key granted a packet size of 0: nothing sent"},
        {"second reply does not start with tag 41", ordinary,
         [](KeyEmulator& k, const cKeyBinary&) { k.injectFault(KeyOp::FileData, KeyFault::firstTagNot41(), 2); },
         "binary.bin", 1, 2, Priority::DEBUG, "USB session Transfer failed"},
        {"packet size beyond a message", ordinary,
         [](KeyEmulator& k, const cKeyBinary&) { k.setGrantedPacketSize(789); }, "binary.bin", 1, 0, Priority::ERROR,
         "Packet size 789 granted by the key does not fit in one message (at most 788 bytes)"},
        {"chunk whose frame is too long", Bytes(2000, 0x7E),
         [](KeyEmulator& k, const cKeyBinary&) { k.setGrantedPacketSize(788); }, "binary.bin", 1, 0, Priority::ERROR,
         "A data chunk of 788 bytes does not fit in one frame: not sent"},
        {"remote name too long", ordinary, none, "a-far-too-long-name.bin", 0, 0, Priority::ERROR,
         "Remote name unusable: a-far-too-long-name.bin"},
        {"empty firmware", {}, none, "binary.bin", 0, 0, Priority::DEBUG, "File " + fw + " is 0 bytes"},
    };
    cUSBinterface channel(device.get());
    cKeyFileTransfer transfer(&channel);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto binary = firmware(c.data);
        c.setUp(*key, *binary);
        EXPECT_FALSE(transfer.transfer(binary.get(), c.remoteName));
        EXPECT_FALSE(log.contains("Timeout  ")) << "no failure here waits for a time-out";
        EXPECT_EQ(key->count(KeyOp::FileOpen), c.opens);
        EXPECT_EQ(key->count(KeyOp::FileData), c.chunks);
        EXPECT_EQ(key->count(KeyOp::TransferEnd), 0u);
        EXPECT_FALSE(key->file().ended);
        EXPECT_TRUE(log.has("cKeyFileTransfer", c.priority, c.logged));
        key->clearFaults();
        key->clearRecords();
        key->setOpenStatus(0);
        key->setGrantedPacketSize(256);
        log.clear();
    }
}

// Check, then use: what the key receives is what cKeyBinary verified, whatever becomes of the
// file afterwards, on every try of the upgrade (the first try fails here, so a second one runs).
TEST_F(KeyProtocolTest, KeyGetsTheVerifiedBytesWhateverBecomesOfTheFile)
{
    const Bytes verified = firmwareBytes(3000, 1);
    const std::string other(3000, 'X');
    const struct {
        const char* what;
        std::function<void(const std::string& fw)> change;
    } cases[] = {
        {"rewritten in place", [&](const std::string&) { store.write("fw.bin", other); }},
        {"replaced by a rename",
         [&](const std::string& fw) { ASSERT_EQ(std::rename(store.write("new.bin", other).c_str(), fw.c_str()), 0); }},
        {"replaced by a link elsewhere",
         [&](const std::string& fw) {
             std::remove(fw.c_str());
             ASSERT_EQ(::symlink(store.write("elsewhere.bin", other).c_str(), fw.c_str()), 0);
         }},
        {"replaced by a FIFO",
         [&](const std::string& fw) {
             std::remove(fw.c_str());
             ASSERT_EQ(::mkfifo(fw.c_str(), 0644), 0);
         }},
        {"removed", [&](const std::string& fw) { std::remove(fw.c_str()); }},
    };
    cUSBinterface channel(device.get());
    cKey k(&channel);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto binary = firmware(verified);
        const cKeyBinary::Md5Digest checked = cKeyBinary::md5Of(verified.data(), verified.size());
        c.change(binary->path);
        key->injectFault(KeyOp::FileData, KeyFault::firstTagNot41(), 2);

        EXPECT_TRUE(k.upgrade(binary.get()));
        ASSERT_TRUE(key->waitFor(KeyOp::TransferEnd, 1, 10s));
        const auto files = key->files();
        ASSERT_EQ(files.size(), 2u) << "a failed try and a whole one";
        EXPECT_FALSE(files[0].ended);
        ASSERT_TRUE(files[1].unpacked.ok) << files[1].unpacked.error;
        EXPECT_EQ(files[1].unpacked.data, verified);
        EXPECT_EQ(cKeyBinary::md5Of(files[1].unpacked.data.data(), files[1].unpacked.data.size()), checked);

        std::remove(binary->path);
        key->clearFaults();
        key->clearRecords();
    }
}

TEST_F(KeyProtocolTest, IdentityRecordFromTheReply)
{
    struct Case {
        const char* what;
        std::function<void(KeyIdentity&)> change;
        std::function<void(const KeyInfo&)> check;
    };
    const std::string long40(40, 'B'), long70(70, 'h'), long100(100, 'f');
    const std::vector<Case> cases{
        {"every field", [](KeyIdentity&) {},
         [](const KeyInfo& i) {
             EXPECT_EQ(i.serial, 0x00A1B2C3u);
             EXPECT_STREQ(i.boxName, "KEYBOX-7");
             EXPECT_EQ(i.version, 0x080901u);
             EXPECT_STREQ(i.text2, "HW-REV-B");
             EXPECT_STREQ(i.text3, "2.1");
             EXPECT_STREQ(i.text4, "2024-01");
             EXPECT_STREQ(i.text5, "Key test unit");
             EXPECT_STREQ(i.text6, "emu-board");
             EXPECT_STREQ(i.text7, "emu-loader");
             EXPECT_STREQ(i.text9, "emu-radio");
             EXPECT_STREQ(i.text35, "0123456789abcdef0123456789abcdef");
             EXPECT_STREQ(i.text43, "emulated key");
             EXPECT_EQ(i.value36, 1u);
             EXPECT_EQ(i.value44, 2u);
         }},
        {"two pieces", [](KeyIdentity& id) { id.texts[8] = "1.2"; },
         [](const KeyInfo& i) { EXPECT_EQ(i.version, 0x010200u); }},
        {"four pieces", [](KeyIdentity& id) { id.texts[8] = "1.2.3.4"; },
         [](const KeyInfo& i) { EXPECT_EQ(i.version, 0x010203u); }},
        {"empty pieces skipped", [](KeyIdentity& id) { id.texts[8] = ".1..2.3"; },
         [](const KeyInfo& i) { EXPECT_EQ(i.version, 0x010203u); }},
        {"pieces above 255", [](KeyIdentity& id) { id.texts[8] = "1.300.2"; },
         [](const KeyInfo& i) { EXPECT_EQ(i.version, 0x012C02u); }},
        {"large major wraps", [](KeyIdentity& id) { id.texts[8] = "70000.1.1"; },
         [](const KeyInfo& i) { EXPECT_EQ(i.version, static_cast<uint32_t>(70000u << 16 | 0x0101u)); }},
        {"only 23 characters read", [](KeyIdentity& id) { id.texts[8] = "000000000000000000001.2.3"; },
         [](const KeyInfo& i) { EXPECT_EQ(i.version, 0x010200u); }},
        {"no tag 8", [](KeyIdentity& id) { id.texts.erase(8); }, [](const KeyInfo& i) { EXPECT_EQ(i.version, 0u); }},
        {"no tag 0", [](KeyIdentity& id) { id.serial.reset(); },
         [](const KeyInfo& i) {
             EXPECT_EQ(i.serial, 0u);
             EXPECT_STREQ(i.boxName, "KEYBOX-7");
         }},
        {"texts cut to their capacity",
         [&](KeyIdentity& id) {
             id.texts[1] = long40;
             id.texts[3] = "123456789";
             id.texts[5] = long100;
             id.texts[35] = long70;
         },
         [&](const KeyInfo& i) {
             EXPECT_EQ(std::string(i.boxName), long40.substr(0, 23));
             EXPECT_STREQ(i.text3, "12345");
             EXPECT_EQ(std::string(i.text5), long100.substr(0, 63));
             EXPECT_EQ(std::string(i.text35), long70.substr(0, 64));
         }},
        {"wrong kinds and other tags ignored",
         [](KeyIdentity& id) {
             id.serial.reset();
             id.texts.erase(8);
             id.texts[0] = "12345";
             id.numbers[8] = 0x0102;
             id.numbers[1] = 7;
             id.texts[50] = "other";
         },
         [](const KeyInfo& i) {
             EXPECT_EQ(i.serial, 0u);
             EXPECT_EQ(i.version, 0u);
             EXPECT_STREQ(i.boxName, "");
         }},
    };
    cUSBinterface channel(device.get());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        KeyIdentity id = KeyIdentity::defaults();
        c.change(id);
        key->setIdentity(id);
        cKey k(&channel);
        ASSERT_NE(k.getInfo(), nullptr);
        c.check(*k.getInfo());
        EXPECT_EQ(k.getSerial(), k.getInfo()->serial);
        EXPECT_EQ(k.getVersion(), k.getInfo()->version);
    }
    EXPECT_TRUE(log.has("cKey", Priority::DEBUG, "Connected"));
    EXPECT_TRUE(log.has("cKey", Priority::DEBUG, "Box: KEYBOX-7"));
    EXPECT_TRUE(log.has("cKey", Priority::DEBUG, "Version: 8.9.1"));
    EXPECT_TRUE(log.has("cKey", Priority::DEBUG, "Version: 1.44.2")) << "0x012C02 shows its bytes";
}

TEST_F(KeyProtocolTest, VersionClearAndLinkMessages)
{
    {
        cUSBinterface channel(device.get());
        cKey k(&channel);
        EXPECT_TRUE(k.sendVersionClear());
        ASSERT_TRUE(key->waitFor(KeyOp::VersionClear, 1, 10s));
        EXPECT_FALSE(log.contains("Disconnected"));
    }
    EXPECT_EQ(ops(), (std::vector<KeyOp>{KeyOp::LinkStart, KeyOp::IdentityRead, KeyOp::VersionClear, KeyOp::LinkEnd}));
    EXPECT_TRUE(log.has("cKey", Priority::DEBUG, "Disconnected"));

    const auto messages = key->messages();
    const struct {
        size_t index;
        uint8_t tag;
        TagItem::Kind kind;
    } wire[] = {{0, 27, TagItem::Kind::UInt32},
                {1, 21, TagItem::Kind::UInt32},
                {2, 8, TagItem::Kind::String},
                {3, 22, TagItem::Kind::UInt32}};
    for (const auto& w : wire) {
        SCOPED_TRACE(w.index);
        const auto& m = messages[w.index];
        EXPECT_EQ(m.type, 1);
        ASSERT_EQ(m.items.size(), 1u);
        EXPECT_EQ(m.items[0].tag, w.tag);
        EXPECT_EQ(m.items[0].kind, w.kind);
        EXPECT_EQ(m.items[0].number, 0u);
        EXPECT_EQ(m.items[0].text, "");
    }
}
