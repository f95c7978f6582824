// Hostile request payloads against the real keysmith: refused by the size check before the
// unpacker reserves anything for them, left retained at the broker, and the daemon goes on.
#include "daemon_fixture.h"

using namespace keysmithtest;

namespace {

const std::string kRefused = "handler through exception onMessage. depth size overflow";

std::string repeat(const std::string& piece, size_t times)
{
    std::string out;
    out.reserve(piece.size() * times);
    for (size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

TEST_F(DaemonTest, NestedHeadersInARequestCostNoMemory)
{
    startBroker();
    startDaemon(); // no key: requests are decoded on the link's thread all the same
    ASSERT_TRUE(waitForLog("subscribed (msg:", 1, 20s));
    const long idleKiB = testsupport::processPeakRssKiB(daemon->pid());

    struct Case {
        const char* name;
        std::string payload;
    } cases[] = {
        // 64 KiB of array 16 headers, each declaring 65535 elements: quadratic in what the
        // unpacker reserves.
        {"array 16 headers", repeat(bytes({0xdc, 0xff, 0xff}), 21845)},
        // 1 MiB of nested maps of 15 pairs.
        {"fixmap headers", std::string(1u << 20, '\x8f')},
    };
    size_t refused = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server->publish(kRequestTopic, c.payload, 2, true);
        ASSERT_TRUE(waitForLog(kRefused, ++refused)) << "the request was not refused";
        const auto kept = retained("in/key/#");
        ASSERT_EQ(kept.size(), 1u) << "the request stays retained";
        EXPECT_EQ(kept[0].payload.size(), c.payload.size());
    }
    EXPECT_TRUE(has("tavloClient", "WARN", kRefused));
    const long peakKiB = testsupport::processPeakRssKiB(daemon->pid());
    RecordProperty("idle_peak_rss_kib", std::to_string(idleKiB));
    RecordProperty("peak_rss_kib", std::to_string(peakKiB));
    // The 1 MiB payload itself is held by the MQTT library while it is handled.
    EXPECT_LT(peakKiB - idleKiB, 6 * 1024) << "idle " << idleKiB << " KiB, after " << peakKiB << " KiB";

    // The link goes on: the next request is decoded and cleared at the broker.
    server->clear();
    server->publish(kRequestTopic, boolAndVersion(true, 0x080903), 2, true);
    bool cleared = false;
    while (auto m = server->waitFor(kRequestTopic, 10s))
        if ((cleared = m->payload.empty()))
            break;
    EXPECT_TRUE(cleared) << "the valid request was not taken";
    EXPECT_TRUE(retained("in/key/#").empty());
    EXPECT_TRUE(daemon->running());
}

} // namespace
