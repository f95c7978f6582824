// vek-request --status without a broker: retained records sorted into docks, the table, the JSON
// and the exit decision.
#include "fleet_status.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace vek::request;
using nlohmann::json;

std::string packed(const json& value)
{
    const auto bytes = json::to_msgpack(value);
    return std::string(bytes.begin(), bytes.end());
}

std::string daemon(const char* state, uint64_t started, std::optional<uint64_t> stopped = std::nullopt)
{
    json record{{"state", state}, {"version", "0.0.10"}, {"started", started}, {"limits", {{"time_limit_ms", 500}}}};
    if (stopped)
        record["stopped"] = *stopped;
    return packed(record);
}

constexpr uint64_t kT0 = 1714564803; // 2024-05-01T12:00:03Z

TEST(FleetStatusTest, FiltersAndMarkerCoverTheTargets)
{
    EXPECT_EQ(statusFilters({}, false), (std::vector<std::string>{"out/status/+", "out/key/+/+", "bridge/+"}));
    EXPECT_EQ(statusFilters({}, true),
              (std::vector<std::string>{"docks/+/out/status/+", "docks/+/out/key/+/+", "docks/+/bridge/+"}));
    EXPECT_EQ(statusFilters({{"A", "docks/A/"}, {"x", "site/"}}, false).size(), 6u);
    EXPECT_EQ(statusMarker({}, true), "docks/vek-request/sync");
    EXPECT_EQ(statusMarker({{"A", "docks/A/"}}, false), "docks/A/vek-request/sync");
    // The marker matches none of the record filters.
    for (const std::string& filter : statusFilters({}, true))
        EXPECT_EQ(filter.find("vek-request"), std::string::npos);
}

TEST(FleetStatusTest, TableOfTwoDocksOneDaemonDown)
{
    const std::vector<Retained> retained{
        {"docks/A/bridge/state", "1"},
        {"docks/A/bridge/state-out", "1"},
        {"docks/A/out/status/vek-command", daemon("online", kT0)},
        {"docks/A/out/status/keysmith", daemon("online", kT0 + 1)},
        {"docks/A/out/key/00A1B2C3/notification", packed(json::array({0x080901}))},
        {"docks/A/out/key/00A1B2C3/result", packed(json::array({true, 0x080904}))},
        {"docks/A/out/key/00A1B2C3/progress",
         packed({{"phase", "finished"}, {"from", 0x080901}, {"to", 0x080904}, {"percent", 100}, {"time", kT0}})},
        {"docks/B/bridge/state", "1"},
        {"docks/B/out/status/vek-command", daemon("offline", kT0, kT0 + 60)},
        {"docks/B/out/status/keysmith", daemon("offline", kT0)},
        {"docks/B/out/key/00000007/progress",
         packed({{"phase", "failed"},
                 {"from", 0x080901},
                 {"to", 0x080904},
                 {"reason", "digest_mismatch"},
                 {"detail", "MD5 mismatch\nexception"},
                 {"time", kT0}})},
        {"docks/C/out/key/00000008/progress",
         packed({{"phase", "transferring"}, {"from", 1}, {"to", 2}, {"percent", 40}, {"attempt", 2}})},
        {"docks/C/bridge/state", "1"},
        {"docks/C/bridge/state-out", "0"},
    };
    const auto docks = buildStatus(retained, {}, true);
    ASSERT_EQ(docks.size(), 3u);
    std::ostringstream out;
    printTable(docks, out);
    EXPECT_EQ(out.str(),
              "DOCK  BRIDGE  DAEMON       STATE       VERSION  SINCE\n"
              "A     up      keysmith     online      0.0.10   2024-05-01T12:00:04Z\n"
              "A     up      vek-command  online      0.0.10   2024-05-01T12:00:03Z\n"
              "B     up      keysmith     offline     0.0.10   -\n"
              "B     up      vek-command  offline     0.0.10   2024-05-01T12:01:03Z\n"
              "C     down    -            no records  -        -\n"
              "\n"
              "DOCK  KEY       VERSION  RESULT    PROGRESS\n"
              "A     00A1B2C3  8.9.1    ok 8.9.4  finished 8.9.1 -> 8.9.4\n"
              "B     00000007  -        -         failed 8.9.1 -> 8.9.4: digest_mismatch (MD5 mismatch\\nexception)\n"
              "C     00000008  -        -         transferring 40 % 0.0.1 -> 0.0.2\n");
    EXPECT_FALSE(allOnline(docks));
    EXPECT_TRUE(allOnline({docks[0]}));
    EXPECT_FALSE(allOnline({docks[1]}));
    EXPECT_FALSE(allOnline({docks[2]})) << "a bridge down, and no records";

    const json j = toJson(docks);
    EXPECT_EQ(j["all_online"], false);
    EXPECT_EQ(j["docks"][0]["daemons"]["vek-command"]["limits"]["time_limit_ms"], 500);
    EXPECT_EQ(j["docks"][0]["keys"][0]["result"]["version"], "8.9.4");
    EXPECT_EQ(j["docks"][1]["daemons"]["vek-command"]["stopped"], kT0 + 60);
    EXPECT_TRUE(j["docks"][1]["daemons"]["keysmith"]["stopped"].is_null());
    EXPECT_EQ(j["docks"][2]["bridge"], "down");
}

TEST(FleetStatusTest, TargetsKeepTheirOrderAndTheLongestPrefixWins)
{
    const std::vector<Retained> retained{
        {"site/out/status/vek-command", daemon("online", kT0)},
        {"site/x/out/status/vek-command", daemon("offline", kT0)},
        {"other/out/status/vek-command", daemon("online", kT0)},
    };
    const auto docks = buildStatus(retained, {{"x", "site/x/"}, {"s", "site/"}, {"none", "nothing/"}}, false);
    ASSERT_EQ(docks.size(), 3u);
    EXPECT_EQ(docks[0].daemons.at("vek-command").state, "offline");
    EXPECT_EQ(docks[1].daemons.at("vek-command").state, "online");
    EXPECT_TRUE(docks[2].daemons.empty());
    EXPECT_FALSE(allOnline(docks));
    // Without targets: the local dock, no prefix.
    const auto local = buildStatus({{"out/status/keysmith", daemon("online", kT0)}}, {}, false);
    ASSERT_EQ(local.size(), 1u);
    EXPECT_EQ(local[0].label, "local");
    EXPECT_TRUE(allOnline(local));
}

TEST(FleetStatusTest, RecordsThatDoNotDecodeAreShownAsUnreadable)
{
    const std::string garbage[] = {
        "", "\xc1", "hello", packed(json::array({1, 2})), packed({{"state", 5}}), std::string("\x82\xa5state", 7)};
    for (const std::string& payload : garbage) {
        const auto docks = buildStatus(
            {{"out/status/vek-command", payload}, {"out/key/1/result", payload}, {"out/key/1/progress", payload}}, {},
            false);
        ASSERT_EQ(docks.size(), 1u);
        EXPECT_EQ(docks[0].daemons.at("vek-command").state, "unreadable");
        EXPECT_TRUE(docks[0].keys.at("1").unreadable);
        EXPECT_FALSE(allOnline(docks));
        std::ostringstream out;
        printTable(docks, out); // never throws on what it could not read
        EXPECT_NE(out.str().find("unreadable"), std::string::npos);
    }
    // Topics that are not records are left alone.
    const auto docks =
        buildStatus({{"out/key/1/other", "x"}, {"out/status/a/b", "x"}, {"out/key//result", "x"}}, {}, false);
    EXPECT_TRUE(docks[0].keys.empty());
    EXPECT_TRUE(docks[0].daemons.empty());
}

TEST(FleetStatusTest, VersionsAndTimes)
{
    EXPECT_EQ(versionText(0x080904), "8.9.4");
    EXPECT_EQ(versionText(0xFFFFFFFF), "65535.255.255");
    EXPECT_EQ(timeText(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(timeText(kT0), "2024-05-01T12:00:03Z");
}

} // namespace
