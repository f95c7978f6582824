// The progress record byte for byte, and which records one attempt's progress sends.
#include "keysmith/upgrade_progress.h"

#include <gtest/gtest.h>
#include <msgpack.hpp>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using keysmith::FailureReason;
using keysmith::ProgressRecord;
using keysmith::UpgradePhase;
using keysmith::UpgradeProgress;

// The record's entries in their packed order, values as text.
std::vector<std::pair<std::string, std::string>> entries(const std::string& packed)
{
    const msgpack::object_handle h = msgpack::unpack(packed.data(), packed.size());
    std::vector<std::pair<std::string, std::string>> out;
    const msgpack::object& map = h.get();
    for (uint32_t i = 0; i < map.via.map.size; ++i) {
        const auto& v = map.via.map.ptr[i].val;
        out.emplace_back(map.via.map.ptr[i].key.as<std::string>(),
                         v.type == msgpack::type::STR ? v.as<std::string>() : std::to_string(v.as<uint64_t>()));
    }
    return out;
}

TEST(ProgressRecordTest, PackedByteForByte)
{
    ProgressRecord record(UpgradePhase::Transferring);
    record.from = 0x080901;
    record.to = 0x080904;
    record.percent = 40;
    record.attempt = 2;
    record.time = 7;
    static const char raw[] = "\x86\xa5phase\xactransferring\xa4"
                              "from\xce\x00\x08\x09\x01\xa2to\xce\x00\x08\x09\x04"
                              "\xa7percent\x28\xa7"
                              "attempt\x02\xa4time\x07";
    EXPECT_EQ(record.pack(), std::string(raw, sizeof raw - 1));
}

TEST(ProgressRecordTest, FieldsByPhase)
{
    ProgressRecord failed(UpgradePhase::Failed);
    failed.reason = FailureReason::ChunkNotAcknowledged;
    failed.detail = "no answer";
    using E = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(entries(failed.pack()),
              (E{{"phase", "failed"},
                 {"from", "0"},
                 {"to", "0"},
                 {"reason", "chunk_not_acknowledged"},
                 {"detail", "no answer"},
                 {"time", "0"}}));
    EXPECT_EQ(entries(ProgressRecord(UpgradePhase::VerifyingStore).pack()),
              (E{{"phase", "verifying_store"}, {"from", "0"}, {"to", "0"}, {"time", "0"}}));
    const struct {
        FailureReason reason;
        const char* code;
    } codes[] = {{FailureReason::NoRequest, "no_request"},
                 {FailureReason::WrongKey, "wrong_key"},
                 {FailureReason::VersionMismatch, "version_mismatch"},
                 {FailureReason::NoStore, "no_store"},
                 {FailureReason::DigestMismatch, "digest_mismatch"},
                 {FailureReason::SignatureMismatch, "signature_mismatch"},
                 {FailureReason::StoreError, "store_error"},
                 {FailureReason::KeyRefused, "key_refused"},
                 {FailureReason::UsbError, "usb_error"},
                 {FailureReason::Timeout, "timeout"},
                 {FailureReason::StopRequested, "stop_requested"}};
    for (const auto& c : codes)
        EXPECT_STREQ(keysmith::reasonCode(c.reason), c.code);
}

struct Sent {
    std::string phase;
    std::string percent;
    std::string reason;
};

std::vector<Sent> run(const std::function<void(UpgradeProgress&)>& steps)
{
    std::vector<Sent> sent;
    UpgradeProgress progress(0xA1B2C3, 0x080901, [&](uint32_t serial, const std::string& record) {
        EXPECT_EQ(serial, 0xA1B2C3u);
        Sent s;
        for (const auto& [k, v] : entries(record)) {
            if (k == "phase")
                s.phase = v;
            if (k == "percent")
                s.percent = v;
            if (k == "reason")
                s.reason = v;
        }
        sent.push_back(s);
    });
    steps(progress);
    return sent;
}

TEST(UpgradeProgressTest, TransferSharesInStepsOfTenAndTheLastTrysReason)
{
    // 1000 bytes in chunks of 30: 0 %, then a record about every tenth, always the 100 %.
    auto sent = run([](UpgradeProgress& p) {
        p.attemptStarted(1);
        for (size_t done = 0; done <= 1000; done += 30)
            p.acknowledged(done, 1000);
        p.acknowledged(1000, 1000);
        p.finished(0x080904, true);
    });
    std::vector<std::string> percents;
    for (const auto& s : sent)
        if (s.phase == "transferring")
            percents.push_back(s.percent);
    EXPECT_EQ(percents, (std::vector<std::string>{"0", "12", "24", "36", "48", "60", "72", "84", "96", "100"}));
    EXPECT_EQ(sent.back().phase, "finished");
    EXPECT_EQ(sent.back().percent, "100");

    // A failed try, a second that fails otherwise: the record tells the last reason.
    sent = run([](UpgradeProgress& p) {
        p.attemptStarted(1);
        p.acknowledged(0, 100);
        p.failed(FailureReason::ChunkNotAcknowledged, "first");
        p.attemptStarted(2);
        p.acknowledged(0, 100); // a new try starts at 0 again
        p.failed(FailureReason::UsbError, "LIBUSB_ERROR_NO_DEVICE");
        p.transferFailed();
    });
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1].percent, "0");
    EXPECT_EQ(sent[2].phase, "failed");
    EXPECT_EQ(sent[2].reason, "usb_error");

    // Finished without a transfer: no percentage.
    sent = run([](UpgradeProgress& p) { p.finished(0x080901, false); });
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].percent, "");
}

} // namespace
