#pragma once

#include "key_link_protocol.h"
#include "transfer_observer.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <log4cpp/Category.hh>
#include <string>
#include <vector>

class cKeyBinary;
class cUSBinterface;

/// Moves one firmware file to the key: packs it into blocks that each carry a CRC-8, announces
/// it with a file open request (name, packed size, proposed packet size, version), sends the
/// packed bytes in data chunks of the packet size the key grants, each with its FCS-16 and
/// acknowledged by the key, and ends with a transfer end message. Logs to "cKeyFileTransfer".
///
/// Packed file: blocks of a 4-byte little-endian length n, n data bytes and the CRC-8/MAXIM of
/// those bytes. Every block holds 256 data bytes but the last (1 to 256); an empty file packs
/// into nothing. "abc" packs into 03 00 00 00 61 62 63 42.
class cKeyFileTransfer {
public:
    static constexpr uint32_t kProposedPacketSize = 1000;
    static constexpr size_t kBlockData = 256;
    static constexpr size_t kBlockOverhead = 5;
    /// The key takes packed files of at most this size: firmware of up to 514243 bytes.
    static constexpr size_t kMaxPacked = 524288;
    /// Capacity of a remote name, terminator included.
    static constexpr size_t kNameLimit = 16;
    /// The most data one data message carries within the message limit (its header and the
    /// data and check items take 12 bytes).
    static constexpr size_t kMaxChunk = keysmith::keylink::kMaxMessage - 12;

    /// channel (not owned) may be null; every transfer then fails at the open request.
    explicit cKeyFileTransfer(cUSBinterface* channel);
    cKeyFileTransfer(const cKeyFileTransfer&) = delete;
    cKeyFileTransfer& operator=(const cKeyFileTransfer&) = delete;

    /// The whole transfer of the binary's file under remoteName (the file's own base name when
    /// null). True when every chunk was acknowledged and the end message was sent. Each call
    /// starts over: the bytes the binary verified are packed again and opened anew on the key;
    /// the file itself is not read again.
    bool transfer(const cKeyBinary* binary, const char* remoteName);
    /// From now on no reply is awaited past this time: a wait the protocol allows is cut short,
    /// and a message that would wait after it is not sent (the transfer fails).
    void setDeadline(std::chrono::steady_clock::time_point deadline) { this->deadline = deadline; }

    /// Told the share acknowledged and why a transfer failed; not owned, may be null.
    void setObserver(keysmith::TransferObserver* observer_) { observer = observer_; }
    /// Not supported by the daemon: logs "removeFile: not implemented" and returns false.
    bool removeFile();

    /// Packs the firmware's verified bytes into packed. Returns the packed length; 0 when the
    /// firmware is empty or packs into more than kMaxPacked bytes.
    size_t packFile(const std::vector<uint8_t>& contents, std::vector<uint8_t>& packed);
    /// The name after the last "/" of path, copied with its terminator into out (limit bytes).
    /// False when path is null, or the name is empty or does not fit.
    bool baseName(const char* path, char* out, size_t limit);
    /// Announces the file to the key and waits up to 30 s for its answer. True when the key
    /// accepts (status 0) and echoes the name in tag 38; packetSize then holds the size it
    /// granted in tag 40 (unchanged when it sent none).
    bool openRemoteFile(const char* name, uint32_t& packetSize, uint32_t packedSize, uint32_t version);
    /// Sends one data chunk with its FCS-16 and waits up to 5 s for the acknowledgement, a
    /// reply whose first tag is 41. A chunk whose message would not fit in one frame is not
    /// sent: false at once.
    bool sendChunk(const uint8_t* bytes, uint16_t length);

    /// The packed form of data (pure: the wire format only).
    static std::vector<uint8_t> pack(const uint8_t* data, size_t length);
    /// Bytes that a file of `length` bytes packs into.
    static size_t packedSize(size_t length);
    /// CRC-8/MAXIM: reflected polynomial 0x8C, initial 0, no final XOR ("123456789" gives A1).
    static uint8_t crc8Maxim(const uint8_t* data, size_t length);

private:
    /// Seconds to wait for a reply: the protocol's limit, or what is left before the deadline
    /// (rounded up); 0 once it has passed.
    unsigned waitSeconds(unsigned limit) const;
    /// Tells the observer, if any, why the transfer failed.
    void report(keysmith::FailureReason reason, const std::string& detail);
    /// The reason of a request that got no usable reply: the file open, or a data chunk.
    void reportNoReply(bool chunk, unsigned seconds);

    cUSBinterface* channel;
    keysmith::TransferObserver* observer = nullptr;
    log4cpp::Category& log;
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};
