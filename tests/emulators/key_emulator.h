#pragma once
// KeyEmulator: the key (USB 0x1781:0x0B97) on a Testbed, speaking the key link live.
//
// Usage (gtest binary linked with `emulators_main`, or calling reexecUnderPreload in main):
//
//     emulators::Testbed testbed;
//     emulators::KeyEmulator key(testbed);            // plugged in, driver bound to interface 0
//     key.setGrantedPacketSize(100);
//     key.injectFault(KeyOp::FileData, KeyFault::noReply(), 3);   // third data chunk unanswered
//     key.injectFault(KeyOp::FileData, KeyFault::unplug(), 6);    // pulled out after 5 chunks
//     ... run the code under test in this process (USBdevice/cUSBinterface), or start the
//     ... daemon with testsupport::ChildProcess and testbed.childEnvironment()
//     key.waitFor(KeyOp::TransferEnd, 1, 10s);
//     EXPECT_EQ(key.file().unpacked.data, firmwareBytes);
//
// The key de-frames what it receives (frames and tagged messages as the daemon sends them),
// records every OUT packet and message, and answers: link start (tag 27, no reply), identity
// read (tag 21: the configured identity), link end (tag 22: status 0, tag 22), version clear
// (tag 8 empty, no reply), file open (tags 38/39/40/42: configured status, the name echoed in
// tag 38, the granted packet size in tag 40), file data (type 5, tag 37 bytes + tag 41 FCS-16:
// reply with tag 41 first when the FCS matches, else status 1 without tag 41) and transfer end
// (tag 27 after an accepted file open: the packed file is unpacked and checked). Faults are
// injected per operation. All of it runs on the testbed's worker thread; every method here is
// safe to call from any thread. Close the USB handles of the code under test (USBdevice in
// this process, or end the child) before the emulator and its testbed go.

#include "emulated_usb_device.h"
#include "packed_image.h"
#include "platform/tag_item.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace emulators {

/// The identity record the key reports.
struct KeyIdentity {
    std::optional<uint32_t> serial;       ///< tag 0 (absent: not sent)
    std::map<uint8_t, std::string> texts; ///< tags 1-7, 9, 35, 43; 1 = box name, 8 = version "major.minor.patch"
    std::map<uint8_t, uint16_t> numbers;  ///< tags 36, 44

    /// Serial 0x00A1B2C3, box "KEYBOX-7", version "8.9.1", every other identity tag filled.
    static KeyIdentity defaults();
};

/// What a received message was taken for.
enum class KeyOp { LinkStart, IdentityRead, LinkEnd, VersionClear, FileOpen, FileData, TransferEnd, Unknown };
const char* toString(KeyOp op);

/// A fault applied to the key's handling of one message.
struct KeyFault {
    enum class Kind {
        NoReply,       ///< the message is ignored: no effect, no reply
        LateReply,     ///< handled, reply sent after `delay`
        CorruptFcs,    ///< handled, reply frame sent with a wrong FCS
        SplitReply,    ///< handled, reply sent in short USB packets of `pieceSize` bytes, `delay` apart
        Status,        ///< handled as refused: reply carries `status`
        WrongEcho,     ///< file open: tag 38 echoes `text` instead of the name
        FirstTagNot41, ///< file data: tag 0 placed before tag 41 in the reply
        RawReply,      ///< handled, `raw` bytes sent instead of the reply frame
        Unplug,        ///< the key is pulled out instead of handling the message
        UnplugReplug,  ///< pulled out, plugged back in after `delay`
        StopReading,   ///< handled and answered; then the key takes no more data (OUT stalls)
    };
    Kind kind = Kind::NoReply;
    std::chrono::milliseconds delay{0};
    uint8_t status = 1;
    std::string text;
    size_t pieceSize = 5;
    std::vector<uint8_t> raw;

    static KeyFault of(Kind k)
    {
        KeyFault f;
        f.kind = k;
        return f;
    }
    static KeyFault noReply() { return of(Kind::NoReply); }
    static KeyFault lateReply(std::chrono::milliseconds d)
    {
        KeyFault f = of(Kind::LateReply);
        f.delay = d;
        return f;
    }
    static KeyFault corruptFcs() { return of(Kind::CorruptFcs); }
    static KeyFault splitReply(size_t piece, std::chrono::milliseconds gap = std::chrono::milliseconds(0))
    {
        KeyFault f = of(Kind::SplitReply);
        f.pieceSize = piece;
        f.delay = gap;
        return f;
    }
    static KeyFault withStatus(uint8_t s)
    {
        KeyFault f = of(Kind::Status);
        f.status = s;
        return f;
    }
    static KeyFault wrongEcho(std::string name)
    {
        KeyFault f = of(Kind::WrongEcho);
        f.text = std::move(name);
        return f;
    }
    static KeyFault firstTagNot41() { return of(Kind::FirstTagNot41); }
    static KeyFault rawReply(std::vector<uint8_t> bytes)
    {
        KeyFault f = of(Kind::RawReply);
        f.raw = std::move(bytes);
        return f;
    }
    static KeyFault unplug() { return of(Kind::Unplug); }
    static KeyFault stopReading() { return of(Kind::StopReading); }
    static KeyFault unplugReplug(std::chrono::milliseconds after)
    {
        KeyFault f = of(Kind::UnplugReplug);
        f.delay = after;
        return f;
    }
};

/// One item of a received message, flattened.
struct ReceivedItem {
    uint8_t tag = 0;
    TagItem::Kind kind = TagItem::Kind::UInt32;
    uint32_t number = 0;        ///< UInt32 / UInt16
    std::string text;           ///< String
    std::vector<uint8_t> bytes; ///< Bytes
};

struct ReceivedMessage {
    KeyOp op = KeyOp::Unknown;
    uint8_t type = 0;
    uint8_t status = 0;
    std::vector<ReceivedItem> items;
    size_t payloadLength = 0;
    std::chrono::steady_clock::time_point at;
    /// The first item with that tag, or null.
    const ReceivedItem* find(uint8_t tag) const;
};

struct OutPacket {
    std::vector<uint8_t> data;
    std::chrono::steady_clock::time_point at;
};

/// One file transfer as the key saw it (from an accepted file open on).
struct ReceivedFile {
    std::string name;
    uint32_t declaredSize = 0;       ///< tag 39
    uint32_t proposedPacketSize = 0; ///< tag 40 of the open request
    uint32_t version = 0;            ///< tag 42
    std::vector<uint8_t> packed;     ///< data of the acknowledged chunks, in order
    std::vector<size_t> chunkSizes;  ///< every data chunk received, acknowledged or not
    unsigned badChunks = 0;          ///< chunks whose FCS-16 did not match tag 41
    bool ended = false;              ///< transfer end received
    bool interrupted = false;        ///< a new open or an unplug came before the end
    UnpackedImage unpacked;          ///< filled at transfer end
};

class KeyEmulator {
public:
    static constexpr uint16_t kVendorId = 0x1781;
    static constexpr uint16_t kProductId = 0x0B97;

    struct Options {
        KeyIdentity identity = KeyIdentity::defaults();
        /// Drivers bound at plug-in to interfaces 0 and 1 (the bulk endpoints are on 1).
        std::string driverInterface0 = "cdc_acm";
        std::string driverInterface1;
        /// A second key needs its own device number and sysfs path.
        int devnum = 2;
        std::string sysfsPath = "/devices/pci0000:00/0000:00:14.0/usb1/1-1";
        bool claimBusy = false;
        unsigned reapHoldMs = 10;
        unsigned reapHoldBusyMs = 1;
    };

    explicit KeyEmulator(Testbed& testbed);
    KeyEmulator(Testbed& testbed, Options options);
    ~KeyEmulator();
    KeyEmulator(const KeyEmulator&) = delete;
    KeyEmulator& operator=(const KeyEmulator&) = delete;

    // Behaviour.
    void setIdentity(KeyIdentity identity);
    KeyIdentity identity() const;
    /// Status of the file open reply (0 = accepted).
    void setOpenStatus(uint8_t status);
    /// Packet size granted in tag 40; nullopt leaves tag 40 out. Default 256.
    void setGrantedPacketSize(std::optional<uint32_t> size);
    /// After a complete, well-formed transfer the key reports the transferred version (tag 42)
    /// in later identity reads. Default on.
    void setAdoptVersion(bool adopt);
    /// Applies the fault to the nth message of `op` counted from now (1 = the next one), and
    /// to the `times - 1` that follow it. Faults for one op apply in the order injected.
    void injectFault(KeyOp op, KeyFault fault, unsigned nth = 1, unsigned times = 1);
    void clearFaults();

    // The device.
    void unplug();
    bool replug();
    bool plugged() const;
    /// Sends raw bytes to the host now (one USB transfer, ending with a short packet).
    void sendRaw(const std::vector<uint8_t>& bytes);
    UsbDeviceStats usbStats() const;
    EmulatedUsbDevice& usb() { return *_usb; }

    // What was received.
    std::vector<ReceivedMessage> messages() const;
    std::vector<ReceivedMessage> messages(KeyOp op) const;
    size_t count(KeyOp op) const;
    /// Waits until at least `n` messages of `op` have been received.
    bool waitFor(KeyOp op, size_t n, std::chrono::milliseconds timeout) const;
    std::vector<OutPacket> outPackets() const;
    /// Every OUT byte so far, in order.
    std::vector<uint8_t> outStream() const;
    /// Frames that failed the FCS check, and good frames that did not parse as a message.
    unsigned badFrames() const;
    unsigned unparsableMessages() const;
    /// Every transfer so far (oldest first) and the latest one (empty when none).
    std::vector<ReceivedFile> files() const;
    ReceivedFile file() const;
    void clearRecords();

    struct State;

private:
    std::shared_ptr<State> _state;
    std::unique_ptr<EmulatedUsbDevice> _usb;
};

} // namespace emulators
