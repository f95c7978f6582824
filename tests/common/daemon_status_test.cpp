// The daemons' status record byte for byte: what a fleet tool decodes.
#include "common/daemon_status.h"

#include <gtest/gtest.h>

namespace {

std::string hexOf(const std::string& bytes)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string hexText(const std::string& text)
{
    std::string out;
    for (char c : text)
        out += hexOf(std::string(1, c));
    return out;
}

TEST(DaemonStatusTest, RecordsByteForByte)
{
    const vek::DaemonStatus status{"0.0.10", 1714564803, {{"time_limit_ms", 500}, {"memory_limit_kb", 0}}};
    // {"state": ..., "version": "0.0.10", "started": 1714564803, ["stopped": ...,] "limits": {...}}
    const std::string head = "a5" + hexText("state");
    const std::string tail =
        "a7" + hexText("version") + "a6" + hexText("0.0.10") + "a7" + hexText("started") + "ce66322ec3";
    const std::string limits = "a6" + hexText("limits") + "82" + "ad" + hexText("time_limit_ms") + "cd01f4" + "af" +
        hexText("memory_limit_kb") + "00";
    EXPECT_EQ(hexOf(status.online()), "84" + head + "a6" + hexText("online") + tail + limits);
    EXPECT_EQ(hexOf(status.lost()), "84" + head + "a7" + hexText("offline") + tail + limits);
    EXPECT_EQ(hexOf(status.stopped(1714564900)),
              "85" + head + "a7" + hexText("offline") + tail + "a7" + hexText("stopped") + "ce66322f24" + limits);
    // No limits: an empty map, still there.
    const vek::DaemonStatus bare{"1", 5, {}};
    EXPECT_EQ(hexOf(bare.online()).substr(hexOf(bare.online()).size() - 2 - 2 * 7), "a6" + hexText("limits") + "80");
}

} // namespace
