#pragma once
// The retained record of an upgrade's progress on "out/key/<serial>/progress", beside the key's
// notification and result: what the attempt is doing now, or how it ended and why.

#include <cstdint>
#include <string>

namespace keysmith {

enum class UpgradePhase {
    Identified,     ///< the key's serial and version were read
    VerifyingStore, ///< the firmware store's manifest and digest are checked
    Transferring,   ///< the file goes to the key; with the share acknowledged
    Finished,       ///< the key runs the stored version (transferred now, or already)
    Failed,         ///< the attempt ended without an upgrade; with the reason
};

/// Why an attempt ended without an upgrade.
enum class FailureReason {
    None,
    NoRequest,            ///< the server named no version for the key
    WrongKey,             ///< the server's request names another key
    VersionMismatch,      ///< the server asks for a version the store does not hold
    NoStore,              ///< no manifest or no firmware file
    DigestMismatch,       ///< the firmware file does not match the manifest's digest
    SignatureMismatch,    ///< the firmware's signature does not verify
    StoreError,           ///< any other failure of the firmware store
    KeyRefused,           ///< the key refused the file (status, name not confirmed, packet size)
    ChunkNotAcknowledged, ///< a data chunk was not acknowledged
    UsbError,             ///< a USB transfer failed; the detail names libusb's error
    Timeout,              ///< the key did not answer in time
    StopRequested,        ///< the daemon was asked to stop
};

/// The text of a phase and of a reason code, as the record carries them.
const char* phaseName(UpgradePhase phase);
const char* reasonCode(FailureReason reason);

/// One progress record. Packed as a MessagePack map with str keys:
///   "phase"   str  "identified", "verifying_store", "transferring", "finished", "failed"
///   "from"    uint the key's version when the attempt began (major << 16 | minor << 8 | patch)
///   "to"      uint the version the attempt is for; 0 while nobody has named one
///   "percent" uint 0-100, only while transferring and when finished by a transfer
///   "attempt" uint which transfer (1-3), only while transferring
///   "reason"  str  the reason code, only when failed ("no_store", "digest_mismatch", ...)
///   "detail"  str  what happened, for people, only when failed
///   "time"    uint seconds since the epoch
struct ProgressRecord {
    explicit ProgressRecord(UpgradePhase phase_ = UpgradePhase::Identified) : phase(phase_) {}

    UpgradePhase phase;
    uint32_t from = 0;
    uint32_t to = 0;
    int percent = -1;     ///< -1: not in the record
    unsigned attempt = 0; ///< 0: not in the record
    FailureReason reason = FailureReason::None;
    std::string detail;
    uint64_t time = 0;

    std::string pack() const;
};

} // namespace keysmith
