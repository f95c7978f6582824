#pragma once

#include "key_exception.h"
#include "key_info.h"
#include "transfer_observer.h"

#include <cstdint>
#include <log4cpp/Category.hh>
#include <memory>

class cKeyBinary;
class cUSBinterface;

/// The key connected through the channel, for one upgrade attempt: construction starts the
/// link and reads the key's identity, destruction ends the link. Logs to "cKey".
class cKey {
public:
    static constexpr unsigned kTransferAttempts = 3;
    static constexpr const char* kRemoteName = "binary.bin";
    static constexpr unsigned kReplySeconds = 5;

    /// How long one upgrade (every transfer it tries) may take: base_seconds, plus a second for
    /// every bytes_per_second bytes of the packed file. A key that grants a tiny packet size or
    /// answers each chunk just in time fails there instead of holding the key for days.
    struct UpgradeTimeLimit {
        unsigned base_seconds = 120;
        unsigned bytes_per_second = 1000;
        /// The limit for a packed file of that many bytes, in seconds.
        unsigned long secondsFor(size_t packed) const
        {
            const size_t rate = bytes_per_second != 0 ? bytes_per_second : 1;
            return base_seconds + static_cast<unsigned long>((packed + rate - 1) / rate);
        }
    };

    /// Sends the link start and reads the identity. channel (not owned) must outlive the key.
    /// Throws cKeyExceptionNVMread when the key does not answer the identity read.
    explicit cKey(cUSBinterface* channel);
    /// Ends the link (waits up to 5 s for the key's acknowledgement).
    virtual ~cKey();
    cKey(const cKey&) = delete;
    cKey& operator=(const cKey&) = delete;

    /// The key's serial number; 0 when unknown.
    uint32_t getSerial() const;
    /// The key's firmware version, packed major << 16 | minor << 8 | patch; 0 when unknown.
    uint32_t getVersion() const;
    /// The whole identity record as read at construction; null when unknown.
    const KeyInfo* getInfo() const { return info.get(); }

    /// Transfers the firmware as "binary.bin", up to three times while it fails, within the
    /// upgrade time limit for the file's size.
    bool upgrade(const cKeyBinary* binary);
    void setUpgradeTimeLimit(const UpgradeTimeLimit& limit) { timeLimit = limit; }
    /// The same, telling the observer (not owned, may be null) how each try goes.
    bool upgrade(const cKeyBinary* binary, keysmith::TransferObserver* observer);
    /// Sends the version clear message; true when it was written.
    bool sendVersionClear();

private:
    bool setLink(bool up);
    bool readInfo();

    std::unique_ptr<KeyInfo> info;
    log4cpp::Category& log;
    cUSBinterface* channel;
    UpgradeTimeLimit timeLimit;
};
