// What one request may cost the command service: its size, its memory, its answer, its time and
// its names, against the real vek-command with the limits the package ships.
#include "service_fixture.h"
#include "tests/support/build_slowdown.h"

#include <fstream>
#include <iostream>
#include <lua.hpp>
#include <sstream>

namespace commandtest {
namespace {

const std::string kRequestTooLarge = "Dock command service error. Request too large";
const std::string kAnswerTooLarge = "Dock command service error. Job answer too large";

/// The "script." lines of the shipped configuration, less the directories.
std::string shippedLimits()
{
    std::ifstream in(VEK_SHIPPED_CONFIG);
    std::string lines;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("script.", 0) == 0 && line.rfind("script.search_dirs", 0) != 0 &&
            line.rfind("script.staging_dir", 0) != 0)
            lines += line + "\n";
    return lines;
}

/// The value of a key in the shipped configuration.
size_t shippedValue(const std::string& key)
{
    std::ifstream in(VEK_SHIPPED_CONFIG);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + "=", 0) == 0)
            return std::stoul(line.substr(key.size() + 1));
    ADD_FAILURE() << key << " is not in " << VEK_SHIPPED_CONFIG;
    return 0;
}

/// Lua's precompiled form of a chunk.
std::string precompiled(const std::string& source)
{
    lua_State* L = luaL_newstate();
    std::string out;
    if (luaL_loadstring(L, source.c_str()) == LUA_OK)
        lua_dump(
            L,
            [](lua_State*, const void* p, size_t n, void* ud) {
                static_cast<std::string*>(ud)->append(static_cast<const char*>(p), n);
                return 0;
            },
            &out);
    lua_close(L);
    return out;
}

/// Elements of the array in a request of `total` bytes built by arrayOfOnes.
size_t onesIn(const std::string& script, size_t total)
{
    return total - (fixmap(2) + str("lua_script") + str(script) + str("args")).size() - 5;
}

/// A request whose "args" is an array of `total` bytes in all: 1-byte integers after an array 32
/// header.
std::string arrayOfOnes(const std::string& script, size_t total)
{
    const std::string head = fixmap(2) + str("lua_script") + str(script) + str("args");
    const size_t n = onesIn(script, total);
    std::string payload = head + "\xdd";
    for (int shift = 24; shift >= 0; shift -= 8)
        payload += static_cast<char>((n >> shift) & 0xff);
    payload.append(n, '\x01');
    return payload;
}

class RequestBoundsTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        limits = shippedLimits();
        ASSERT_NE(limits.find("script.max_request_bytes="), std::string::npos) << limits;
        script("ok", "return 'ok'");
        script("count", "return #args");
        script("big", "return string.rep('x', args)");
    }

    std::string limits;
};

TEST_F(RequestBoundsTest, ShippedLimitsRefuseAHugeRequestBeforeDecodingIt)
{
    auto service = startService(config(limits));
    auto mqtt = client();
    const long idle = testsupport::processPeakRssKiB(service->pid());

    // 64 KiB of the same shape is an ordinary request.
    EXPECT_EQ(ask(*mqtt, "small", arrayOfOnes("count", 64 * 1024)), std::to_string(onesIn("count", 64 * 1024)));
    const long afterSmall = testsupport::processPeakRssKiB(service->pid());

    const std::string answer = ask(*mqtt, "huge", arrayOfOnes("ok", 8 * 1024 * 1024));
    const long afterHuge = testsupport::processPeakRssKiB(service->pid());
    EXPECT_EQ(answer,
              failure(kRequestTooLarge + ": 8388608 bytes, at most " +
                      std::to_string(shippedValue("script.max_request_bytes")) + "."))
        << answer.substr(0, 200);
    std::cout << "peak resident KiB: idle " << idle << ", after 64 KiB request " << afterSmall
              << ", after 8 MiB request " << afterHuge << std::endl;
    // Resident size means what it says only in a plain native build: the address sanitizer keeps
    // freed blocks in quarantine, and an emulator's own memory counts in its process.
    if (testsupport::kBuildSlowdown == 1) {
        EXPECT_LT(afterHuge - afterSmall, 16 * 1024);
    }
    EXPECT_EQ(ask(*mqtt, "after", request("ok")), "ok");
}

TEST_F(RequestBoundsTest, ShippedLimitsBoundTheAnswerAndTheDecodedRequest)
{
    const size_t maxResult = shippedValue("script.max_result_bytes");
    const size_t maxRequest = shippedValue("script.max_request_bytes");
    auto service = startService(config(limits));
    auto mqtt = client();
    auto uint32 = [](size_t n) {
        std::string s("\xce");
        for (int shift = 24; shift >= 0; shift -= 8)
            s += static_cast<char>((n >> shift) & 0xff);
        return s;
    };
    // The largest answer still goes out whole; one byte more is a failure.
    EXPECT_EQ(ask(*mqtt, "fits", request("big", uint32(maxResult))), std::string(maxResult, 'x'));
    EXPECT_EQ(ask(*mqtt, "over", request("big", uint32(maxResult + 1))),
              failure(kAnswerTooLarge + ": " + std::to_string(maxResult + 1) + " bytes, at most " +
                      std::to_string(maxResult) + "."));
    EXPECT_FALSE(retained("out/cmd/over")->payload.empty());
    // The densest request the size limit lets through still decodes within the memory limit.
    EXPECT_EQ(ask(*mqtt, "densest", arrayOfOnes("count", maxRequest)), std::to_string(onesIn("count", maxRequest)));
    EXPECT_TRUE(service->waitForOutput("INFO [commandHandler] Publishing result  on out/cmd/over", 5s));
}

TEST_F(RequestBoundsTest, DecodedRequestCountsAgainstTheJobMemory)
{
    auto service = startService(config("script.memory_limit_kb=1024\n"));
    auto mqtt = client();
    // 40000 small numbers take 40 KB as bytes and well over 1 MiB as objects and table slots.
    const std::string answer = ask(*mqtt, "dense", arrayOfOnes("count", 40000));
    EXPECT_NE(answer.find(kRequestTooLarge + ": decoded it needs "), std::string::npos) << answer;
    EXPECT_NE(answer.find(" KiB, the job memory limit is 1024 KiB."), std::string::npos) << answer;
    // Small enough to decode, too large for what is left once decoded: the job fails, the
    // service stays.
    EXPECT_EQ(ask(*mqtt, "half", arrayOfOnes("count", 18000)),
              failure("Dock command service error. Invalid job arguments."));
    EXPECT_EQ(ask(*mqtt, "small", arrayOfOnes("count", 1000)), std::to_string(onesIn("count", 1000)));
}

TEST_F(RequestBoundsTest, ScriptNamesAreFileNames)
{
    dir.write("scripts/reset.lua.disabled", "return 'disabled job ran'");
    ::mkdir(dir.file("scripts/sub").c_str(), 0755);
    script("sub/ok", "return 'nested job ran'");
    dir.write("scripts/compiled.lua", precompiled("return 'compiled job ran'"));
    auto service = startService(config());
    auto mqtt = client();
    const std::string notFound = "Cannot run job. Script not found \"";
    struct Case {
        const char* name;
        std::string script;
        std::string answer;
    } cases[] = {
        {"zero byte", std::string("reset.lua.disabled\0", 19), failure(notFound + "reset.lua.disabled\\x00.lua\"")},
        {"slash", "sub/ok", failure(notFound + "sub/ok.lua\"")},
        {"parent", "../scripts/ok", failure(notFound + "../scripts/ok.lua\"")},
        {"control characters", "ok\r\n\t\x7f", failure(notFound + "ok\\r\\n\\t\\x7f.lua\"")},
        {"precompiled", "compiled", failure("Dock command service error. Failed to load command script.")},
        {"plain", "ok", "ok"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ask(*mqtt, "name" + std::to_string(++n), request(c.script)), c.answer);
    }

    // With the setting, precompiled job scripts run.
    service->signal(SIGTERM);
    ASSERT_EQ(service->waitExitCode(10s), 0);
    service = startService(config("script.precompiled_chunks=1\n"));
    EXPECT_EQ(ask(*mqtt, "compiled", request("compiled")), "compiled job ran");
}

TEST_F(RequestBoundsTest, OutsideTextCannotForgeLogLines)
{
    auto service = startService(config());
    auto mqtt = client();
    const std::string forged = "ok\nERROR [commandHandler] forged";
    ask(*mqtt, "forge", request(forged));
    const std::string longId(1000, 'j');
    EXPECT_EQ(ask(*mqtt, longId, request("ok")), "ok");
    ASSERT_TRUE(service->waitForOutput("Publishing result  on out/cmd/jjj", 5s));
    const std::string out = service->stdoutText();
    EXPECT_EQ(out.find("\nERROR [commandHandler] forged"), std::string::npos) << out;
    EXPECT_NE(out.find("INFO [commandHandler] job (forge) is to run lua script: ok\\nERROR [commandHandler] forged\n"),
              std::string::npos)
        << out;
    // A name is cut in log lines; the topic itself is answered whole.
    EXPECT_NE(out.find("job_id: " + std::string(200, 'j') + "... (1000 bytes)\n"), std::string::npos) << out;
}

// A job longer than one and a half keep-alive periods (90 s): the broker keeps the session, the
// result is published once and stays retained, and the request is not run again.
TEST_F(RequestBoundsTest, LongJobKeepsTheSessionAndRunsOnce)
{
    script("long",
           "local f = io.open(vekenv.staging_dir .. '/runs', 'a') f:write(args, '\\n') f:close() "
           "os.execute('sleep ' .. args) return 'finished'");
    auto service = startService(config(limits));
    auto mqtt = client();
    mqtt->publish("in/cmd/long", request("long", "\xcc\x96"), 1, true); // 150 s
    auto result = mqtt->waitFor("out/cmd/long", 200s);
    ASSERT_TRUE(result) << service->stdoutText();
    EXPECT_EQ(result->payload, "finished");
    mqtt->sync();
    auto kept = retained("out/cmd/long");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->payload, "finished");
    EXPECT_EQ(testsupport::readFile(staging() + "/runs"), "150\n") << "run once";
    const std::string out = service->stdoutText();
    EXPECT_EQ(out.find("The connection was lost"), std::string::npos) << out;
    EXPECT_EQ(out.find("Connection up", out.find("Connection up") + 1), std::string::npos) << "reconnected:\n" << out;
    EXPECT_NE(out.find("keep-alive PINGREQ(s) sent during the job"), std::string::npos) << out;
    // A stop signal during a long job ends the service once the job is over.
    mqtt->publish("in/cmd/long", "", 1, true);
    mqtt->publish("in/cmd/short", request("long", "\x14")); // 20 s
    ASSERT_TRUE(service->waitForOutput("job (short) is to run lua script: long", 10s));
    const auto stopAt = std::chrono::steady_clock::now();
    service->signal(SIGTERM);
    EXPECT_EQ(service->waitExitCode(60s), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - stopAt, 15s) << "stopped before the job ended";
    auto last = mqtt->waitFor("out/cmd/short", 10s);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->payload, "finished");
}

} // namespace
} // namespace commandtest
