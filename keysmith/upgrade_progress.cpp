#include "upgrade_progress.h"

#include "common/daemon_status.h"

namespace keysmith {

UpgradeProgress::UpgradeProgress(uint32_t serial_, uint32_t keyVersion, Publish publish_)
    : serial(serial_), from(keyVersion), publish(std::move(publish_))
{}

void UpgradeProgress::send(ProgressRecord record)
{
    record.from = from;
    record.to = to;
    record.time = vek::secondsNow();
    if (publish)
        publish(serial, record.pack());
}

void UpgradeProgress::identified(uint32_t to_)
{
    to = to_;
    send(ProgressRecord(UpgradePhase::Identified));
}

void UpgradeProgress::verifyingStore(uint32_t to_)
{
    to = to_;
    send(ProgressRecord(UpgradePhase::VerifyingStore));
}

void UpgradeProgress::finished(uint32_t to_, bool transferred)
{
    to = to_;
    ProgressRecord record{UpgradePhase::Finished};
    if (transferred)
        record.percent = 100;
    send(record);
}

void UpgradeProgress::fail(FailureReason reason, const std::string& detail)
{
    ProgressRecord record{UpgradePhase::Failed};
    record.reason = reason;
    record.detail = detail;
    send(record);
}

void UpgradeProgress::transferFailed()
{
    if (lastReason == FailureReason::None)
        fail(FailureReason::UsbError, "the transfer failed");
    else
        fail(lastReason, lastDetail);
}

void UpgradeProgress::attemptStarted(unsigned attempt_)
{
    attempt = attempt_;
    lastPercent = -1;
}

void UpgradeProgress::acknowledged(size_t done, size_t total)
{
    // Wide enough for any file: done and total are at most a few hundred kilobytes.
    const int percent = total == 0 ? 100 : static_cast<int>(static_cast<unsigned long long>(done) * 100 / total);
    // The first record of a try, every further step, and the end.
    if (lastPercent >= 0 && percent < lastPercent + kStep && percent != 100)
        return;
    if (percent == lastPercent)
        return;
    lastPercent = percent;
    ProgressRecord record{UpgradePhase::Transferring};
    record.percent = percent;
    record.attempt = attempt;
    send(record);
}

void UpgradeProgress::failed(FailureReason reason, const std::string& detail)
{
    lastReason = reason;
    lastDetail = detail;
}

} // namespace keysmith
