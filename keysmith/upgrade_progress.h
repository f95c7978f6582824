#pragma once

#include "progress_record.h"
#include "transfer_observer.h"

#include <cstdint>
#include <functional>
#include <string>

namespace keysmith {

/// The progress of one upgrade attempt on one key, published as retained records as it moves
/// on: every phase change, the transfer's share in steps of about ten per cent, and the reason
/// of a failure (the last failed try's, when the transfers ran out).
class UpgradeProgress : public TransferObserver {
public:
    /// publish(serial, packed record) sends one record.
    using Publish = std::function<void(uint32_t serial, const std::string& record)>;
    static constexpr int kStep = 10;

    UpgradeProgress(uint32_t serial, uint32_t keyVersion, Publish publish);

    /// The versions involved; `to` is 0 while nobody has named one.
    void identified(uint32_t to);
    void verifyingStore(uint32_t to);
    /// The key runs `to`: transferred now (percent 100) or already.
    void finished(uint32_t to, bool transferred);
    /// The attempt ended without an upgrade.
    void fail(FailureReason reason, const std::string& detail);
    /// Ends a transfer that failed on every try with the last try's reason.
    void transferFailed();

    void attemptStarted(unsigned attempt) override;
    void acknowledged(size_t done, size_t total) override;
    void failed(FailureReason reason, const std::string& detail) override;

private:
    void send(ProgressRecord record);

    uint32_t serial;
    uint32_t from;
    uint32_t to = 0;
    Publish publish;
    unsigned attempt = 0;
    int lastPercent = -1;
    FailureReason lastReason = FailureReason::None;
    std::string lastDetail;
};

} // namespace keysmith
