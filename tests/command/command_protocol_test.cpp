#include "service_fixture.h"

#include <fstream>
#include <sstream>

namespace commandtest {
namespace {

// The service is built for the same target as this test: with a 32-bit size_t its unpacker
// refuses a count whose allocation size cannot be represented as soon as it reads the count.
constexpr bool kNarrowSize = sizeof(size_t) == 4;

/// VmPeak (the largest virtual size so far) of a process in KiB: an allocation made for a
/// declared element count shows here even when its pages are never touched.
long virtualPeakKiB(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmPeak:", 0) == 0)
            return std::stol(line.substr(7));
    return -1;
}

std::string nested(int depth) { return std::string(static_cast<size_t>(depth), '\x91') + nil; }

class CommandProtocolTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        script("echo", "return args.msg");
        script("answer", "return 42");
        script("zeros", "return 'a\\0b'");
        script("two", "return 'first', 'second'");
        script("staging", "return vekenv.staging_dir");
        script("silent", "local x = 1");
        script("raises", "error('broken')");
        script("ret", "return string.format('%.17g', args)");
        script("depth", "local n, v = 0, args while type(v) == 'table' do n, v = n + 1, v[1] end return n");
        service = startService(config());
        mqtt = client();
    }

    std::unique_ptr<testsupport::ChildProcess> service;
    std::unique_ptr<testsupport::MqttTestClient> mqtt;
};

TEST_F(CommandProtocolTest, FailedRequestsAreAnsweredWithThePackedReason)
{
    const std::string notAMap = "Expected the command request dictionary with args and lua_script entries";
    const std::string incomplete = "Can't decipher message. " + notAMap;
    const std::string scriptFailed =
        "Dock command service error. Command script failure, please consult vek-command logs.";
    const std::string invalidArgs = "Dock command service error. Invalid job arguments.";
    struct Case {
        const char* name;
        std::string payload;
        std::string reason;
    } cases[] = {
        {"never-used byte", "\xc1", "parse error"},
        {"truncated map", fixmap(2) + str("lua_script"), "insufficient bytes"},
        {"array 32 of 2^32-1 elements", "\xdd\xff\xff\xff\xff",
         kNarrowSize ? "array size overflow" : "insufficient bytes"},
        {"map 32 of 2^24 entries", std::string("\xdf\x01\x00\x00\x00", 5), "insufficient bytes"},
        {"str 32 longer than the payload", std::string("\xdb\x00\x10\x00\x00", 5) + "abc", "insufficient bytes"},
        {"array instead of map", "\x92\x01\x02", notAMap},
        {"ASCII text", "hello world", notAMap},
        {"integer key", fixmap(3) + "\x01\x02" + request("echo").substr(1), "std::bad_cast"},
        {"integer script name", fixmap(2) + str("lua_script") + "\x05" + str("args") + nil, "std::bad_cast"},
        {"no args", fixmap(1) + str("lua_script") + str("echo"), incomplete},
        {"empty script name", request(""), incomplete},
        {"empty map", fixmap(0), incomplete},
        {"unknown script", request("nosuch"), "Cannot run job. Script not found \"nosuch.lua\""},
        {"extension given", request("echo.lua"), "Cannot run job. Script not found \"echo.lua.lua\""},
        // A count beyond the bytes left does not hide the byte the unpacker stops at.
        {"fixarray of 2, then 0xc1", "\x92\xc1", "parse error"},
        {"array 16 of 5, then 0xc1", std::string("\xdc\x00\x05\xc1", 4), "parse error"},
        {"fixarray of 2, one element", "\x92\x01", "insufficient bytes"},
        {"forged map, then 0xc1", fixmap(2) + str("lua_script") + std::string("\xdd\xff\xff\xff\xff\xc1", 6),
         kNarrowSize ? "array size overflow" : "parse error"},
        // Deeper than the conversion goes: the job runner's reason; deeper than any request may
        // nest: refused before decoding.
        {"args nested too deep", request("echo", nested(250)), invalidArgs},
        {"100000 levels of nesting", nested(100000), "depth size overflow"},
        {"args nested 100000 levels", request("echo", nested(100000)), "depth size overflow"},
        {"script raises", request("raises"), scriptFailed},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ask(*mqtt, "fail" + std::to_string(++n), c.payload), failure(c.reason));
    }
    // The log names the reason; a deep argument names the conversion's limit.
    EXPECT_TRUE(service->waitForOutput("ERROR [commandHandler] job (fail1) request error: parse error\n", 10s));
    EXPECT_TRUE(
        service->waitForOutput("ERROR [script] invalid job arguments: arguments nested deeper than 200 levels\n", 10s));
    // The whole 28-byte result, as a server would see it.
    EXPECT_EQ(ask(*mqtt, "c1", "\xc1"),
              std::string("\x82\xa6status\xc2\xa6reason\xab"
                          "parse error",
                          28));
    EXPECT_EQ(ask(*mqtt, "alive", request("echo", fixmap(1) + str("msg") + str("still here"))), "still here");
}

TEST_F(CommandProtocolTest, SuccessfulJobsAnswerWithTheBareBytes)
{
    const std::string hello = fixmap(1) + str("msg") + str("hello");
    struct Case {
        const char* name;
        std::string payload;
        std::string answer;
    } cases[] = {
        {"string", request("echo", hello), "hello"},
        {"number", request("answer"), "42"},
        {"embedded zero byte", request("zeros"), std::string("a\0b", 3)},
        {"last of two values", request("two"), "second"},
        {"staging directory", request("staging"), staging()},
        {"script name as bin",
         fixmap(2) + str("lua_script") +
             "\xc4\x04"
             "echo" +
             str("args") + hello,
         "hello"},
        {"extra keys, repeated script name",
         fixmap(4) + str("lua_script") + str("nosuch") + str("extra") + "\x07" + str("args") + hello +
             str("lua_script") + str("echo"),
         "hello"},
        {"trailing garbage", request("echo", hello) + "\xc1\xc1 garbage", "hello"},
        {"long answer", request("echo", fixmap(1) + str("msg") + str(std::string(200, 'x'))), std::string(200, 'x')},
        {"deep value under an ignored key", fixmap(3) + str("extra") + nested(500) + request("echo", hello).substr(1),
         "hello"},
        {"args as deep as the conversion goes", request("depth", nested(200)), "200"},
        // The float 64 2^64, byte by byte as a server would send it.
        {"float argument of 2^64",
         std::string("\x82\xaa"
                     "lua_script\xa3"
                     "ret\xa4"
                     "args\xcb\x43\xf0\0\0\0\0\0\0",
                     30),
         "1.8446744073709552e+19"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ask(*mqtt, "ok" + std::to_string(++n), c.payload), c.answer);
    }
    // Results are retained for servers that subscribe later.
    auto kept = retained("out/cmd/ok1");
    ASSERT_TRUE(kept);
    EXPECT_TRUE(kept->retain);
    EXPECT_EQ(kept->payload, "hello");
}

TEST_F(CommandProtocolTest, EmptyAnswerLeavesNoRetainedResult)
{
    EXPECT_EQ(ask(*mqtt, "quiet", request("silent")), "");
    EXPECT_FALSE(retained("out/cmd/quiet"));
    EXPECT_TRUE(service->waitForOutput("Payload size: 0", 10s));
}

TEST_F(CommandProtocolTest, EmptyRequestEndsTheTransaction)
{
    EXPECT_EQ(ask(*mqtt, "job1", request("echo", fixmap(1) + str("msg") + str("kept"))), "kept");
    ASSERT_TRUE(retained("out/cmd/job1"));

    // The end of the transaction clears the retained result ...
    EXPECT_EQ(ask(*mqtt, "job1", ""), "");
    EXPECT_FALSE(retained("out/cmd/job1"));
    // ... also for a job the service never saw.
    EXPECT_EQ(ask(*mqtt, "never-seen", ""), "");
    EXPECT_TRUE(service->waitForOutput("server has deregistered never-seen job", 10s));
}

TEST_F(CommandProtocolTest, EmptyJobIdIsAnsweredOnTheBareResultTopic)
{
    EXPECT_EQ(ask(*mqtt, "", request("answer")), "42");
}

TEST_F(CommandProtocolTest, DeclaredSizesAreNotAllocatedBeforeTheBytesArrive)
{
    ASSERT_EQ(ask(*mqtt, "warm", request("answer")), "42");
    const long virtualBefore = virtualPeakKiB(service->pid());
    const long residentBefore = testsupport::processPeakRssKiB(service->pid());
    // 16 Mi elements of 24 bytes each would be a 384 MiB allocation.
    const std::string crafted[] = {std::string("\xdd\x01\x00\x00\x00", 5), std::string("\xdf\x01\x00\x00\x00", 5),
                                   request("echo", std::string("\xdd\x01\x00\x00\x00\xc0", 6)), nested(5000)};
    for (const std::string& payload : crafted)
        EXPECT_NE(ask(*mqtt, "crafted", payload).find("\xc2\xa6reason"), std::string::npos);
    EXPECT_LT(virtualPeakKiB(service->pid()) - virtualBefore, 16 * 1024);
    EXPECT_LT(testsupport::processPeakRssKiB(service->pid()) - residentBefore, 4 * 1024);
}

TEST_F(CommandProtocolTest, RetainedRequestRunsAgainAfterARestart)
{
    mqtt->publish("in/cmd/kept", request("answer"), 2, true);
    ASSERT_TRUE(mqtt->waitFor("out/cmd/kept", 5s));

    service->signal(SIGTERM);
    ASSERT_EQ(service->waitExitCode(5s), 0);
    mqtt->clear();
    service = startService(config());
    auto again = mqtt->waitFor("out/cmd/kept", 5s);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->payload, "42");
}

TEST_F(CommandProtocolTest, JobLimitsFailJobsThatExceedThem)
{
    service->signal(SIGTERM);
    ASSERT_EQ(service->waitExitCode(5s), 0);
    script("spin", "while true do end");
    script("hog", "local t = {} for i = 1, 1e7 do t[i] = i end return #t");
    script("unhook", "pcall(debug.sethook) while true do end");
    service = startService(config("script.time_limit_ms=300\nscript.memory_limit_kb=2048\n"));
    EXPECT_TRUE(service->waitForOutput("  time limit   : 300 ms\n  memory limit : 2048 KiB", 10s));

    const std::string scriptFailed =
        "Dock command service error. Command script failure, please consult vek-command logs.";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ask(*mqtt, "spin", request("spin")), failure(scriptFailed));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 300ms + testsupport::kSchedulingSlack);
    EXPECT_EQ(ask(*mqtt, "hog", request("hog")), failure(scriptFailed));
    // The script cannot take the time limit off.
    EXPECT_EQ(ask(*mqtt, "unhook", request("unhook")), failure(scriptFailed));
    EXPECT_TRUE(service->waitForOutput("ERROR [script] failure: job time limit of 300 ms exceeded\n", 10s));
    EXPECT_EQ(ask(*mqtt, "fine", request("answer")), "42");
}

} // namespace
} // namespace commandtest
