#include "progress_record.h"

#include <msgpack.hpp>

namespace keysmith {

const char* phaseName(UpgradePhase phase)
{
    switch (phase) {
    case UpgradePhase::Identified: return "identified";
    case UpgradePhase::VerifyingStore: return "verifying_store";
    case UpgradePhase::Transferring: return "transferring";
    case UpgradePhase::Finished: return "finished";
    case UpgradePhase::Failed: return "failed";
    }
    return "unknown";
}

const char* reasonCode(FailureReason reason)
{
    switch (reason) {
    case FailureReason::None: return "none";
    case FailureReason::NoRequest: return "no_request";
    case FailureReason::WrongKey: return "wrong_key";
    case FailureReason::VersionMismatch: return "version_mismatch";
    case FailureReason::NoStore: return "no_store";
    case FailureReason::DigestMismatch: return "digest_mismatch";
    case FailureReason::SignatureMismatch: return "signature_mismatch";
    case FailureReason::StoreError: return "store_error";
    case FailureReason::KeyRefused: return "key_refused";
    case FailureReason::ChunkNotAcknowledged: return "chunk_not_acknowledged";
    case FailureReason::UsbError: return "usb_error";
    case FailureReason::Timeout: return "timeout";
    case FailureReason::StopRequested: return "stop_requested";
    }
    return "unknown";
}

std::string ProgressRecord::pack() const
{
    const bool failed = phase == UpgradePhase::Failed;
    uint32_t entries = 4 + (percent >= 0) + (attempt > 0) + (failed ? 2 : 0);
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack_map(entries);
    packer.pack("phase");
    packer.pack(phaseName(phase));
    packer.pack("from");
    packer.pack(from);
    packer.pack("to");
    packer.pack(to);
    if (percent >= 0) {
        packer.pack("percent");
        packer.pack(static_cast<uint32_t>(percent));
    }
    if (attempt > 0) {
        packer.pack("attempt");
        packer.pack(attempt);
    }
    if (failed) {
        packer.pack("reason");
        packer.pack(reasonCode(reason));
        packer.pack("detail");
        packer.pack(detail);
    }
    packer.pack("time");
    packer.pack(time);
    return std::string(buffer.data(), buffer.size());
}

} // namespace keysmith
