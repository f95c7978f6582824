#include "lua_vm.h"

#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "lua_test_support.h"
#include "temp_dir.h"

using luatest::Packer;
using luatest::pack;
using luatest::answerOf;
using log4cpp::Priority;

namespace {

const std::string kResources = "Dock command service error. Failed to allocate resources for job.";
const std::string kLoadFailed = "Dock command service error. Failed to load command script.";
const std::string kScriptFailed = "Dock command service error. Command script failure, please consult vek-command logs.";
const std::string kInvalidArgs = "Dock command service error. Invalid job arguments.";
const std::string kNil = pack([](Packer& p) { p.pack_nil(); });


class VM : public ::testing::Test {
protected:
    /// Runs source as a fresh job with the arguments packed in args.
    vek::JobResult run(const std::string& source, const std::string& args = kNil, vek::JobLimits limits = {},
                       std::vector<std::string> dirs = {})
    {
        path = scripts.write("job.lua", source);
        vek::LuaVM vm(dirs, staging.c_str());
        vm.setLimits(limits);
        auto handle = msgpack::unpack(args.data(), args.size());
        return vm.executeScript(path.c_str(), handle.get());
    }

    testsupport::TempDir scripts;
    std::string staging = "/var/staging";
    std::string path;
    testsupport::LogCapture logs;
};

TEST_F(VM, AnswerIsTheLastReturnValueAsText)
{
    struct Case {
        const char* source;
        std::string answer;
    } cases[] = {
        {"local x = 1", ""},
        {"return 'first', 'second'", "second"},
        {"return 42", "42"},
        {"return 1.5", "1.5"},
        {"return true", ""},
        {"return {}", ""},
        {"return 'a\\0b'", std::string("a\0b", 3)},
        {"return vekenv.staging_dir", "/var/staging"},
        {"return select('#', ...)", "0"},
    };
    for (const auto& c : cases) {
        auto r = run(c.source);
        EXPECT_TRUE(r.getStatus()) << c.source;
        EXPECT_STREQ(r.getReason(), "") << c.source;
        EXPECT_EQ(answerOf(r), c.answer) << c.source;
    }
    EXPECT_TRUE(logs.has("script", Priority::DEBUG, "Returned 0 lua objects"));
    EXPECT_TRUE(logs.has("script", Priority::DEBUG, "answer type: number length: 2"));
    EXPECT_TRUE(logs.has("script", Priority::DEBUG, "luaL_loadfile: " + path));
    EXPECT_TRUE(logs.has("script", Priority::DEBUG, "lua_pcall: " + path));
}

TEST_F(VM, FailuresHaveFixedReasonsAndLogTheLuaError)
{
    struct Case {
        const char* source;
        const std::string& reason;
        std::string logged; // after the script path
    } cases[] = {
        {"return (", kLoadFailed, ":1: unexpected symbol near <eof>"},
        {"error('boom')", kScriptFailed, ":1: boom"},
    };
    for (const auto& c : cases) {
        logs.clear();
        auto r = run(c.source);
        EXPECT_FALSE(r.getStatus());
        EXPECT_EQ(r.getReason(), c.reason);
        EXPECT_TRUE(r.getAnswer().empty());
        EXPECT_TRUE(logs.has("script", Priority::ERROR, "failure: " + path + c.logged)) << c.source;
        EXPECT_TRUE(logs.has("script", Priority::DEBUG, "logLuaError: num_errs = 1"));
    }
    run("error(42, 0)");
    EXPECT_TRUE(logs.has("script", Priority::ERROR, "failure: 42"));
    run("error({})");
    EXPECT_TRUE(logs.has("script", Priority::ERROR, "Unknown failure"));

    // A directory where the file should be fails to load too.
    vek::LuaVM vm({}, staging.c_str());
    EXPECT_EQ(vm.executeScript(scripts.path().c_str(), msgpack::object()).getReason(), kLoadFailed);
}

TEST_F(VM, GlobalsDoNotSurviveTheJob)
{
    EXPECT_TRUE(run("leaked = 'yes'").getStatus());
    auto r = run("return tostring(leaked)");
    EXPECT_EQ(answerOf(r), "nil");
}

TEST_F(VM, RequiresLuaAndCModulesFromSearchDirectories)
{
    testsupport::TempDir modules;
    modules.write("helper.lua", "return { value = 7 }");
    std::filesystem::copy_file(LUA_CMODULE, modules.file("vektestmod.so"));
    for (const std::string suffix : {"", "/"}) {
        auto r = run("return table.concat({require('helper').value + require('vektestmod').answer(),"
                     " package.path, package.cpath}, '|')",
                     kNil, {}, {"/nowhere", modules.path() + suffix});
        const std::string answer = answerOf(r);
        EXPECT_EQ(answer.substr(0, 3), "42|") << answer;
        const std::string pathTail = ";/nowhere/?.lua;" + modules.path() + "/?.lua|";
        const std::string cpathTail = ";/nowhere/?.so;" + modules.path() + "/?.so";
        EXPECT_NE(answer.find(pathTail), std::string::npos) << answer;
        EXPECT_EQ(answer.substr(answer.size() - cpathTail.size()), cpathTail);
    }
}

TEST_F(VM, ArgumentsBecomeTheGlobalArgs)
{
    const std::string dumpArgs = luatest::kDumpLua + "return dump(args)";
    auto r = run(dumpArgs, pack([](Packer& p) {
        p.pack_map(2); p.pack("list"); p.pack_array(3); p.pack(1); p.pack_nil(); p.pack("x");
        p.pack("n"); p.pack_int64(-5000000000);
    }));
    EXPECT_EQ(answerOf(r), R"({"list"={1=1,2="x"},"n"=-5000000000})");
    EXPECT_TRUE(logs.has("script", Priority::DEBUG, "loading args onto Lua stack"));
    EXPECT_EQ(answerOf(run("return type(args)")), "nil");
    EXPECT_EQ(answerOf(run(dumpArgs, pack([](Packer& p) { p.pack("hi"); }))), R"("hi")");
}

TEST_F(VM, UnusableArgumentsFailTheJobOnly)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        std::string args;
        vek::JobLimits limits;
        std::string cause;
    } cases[] = {
        {pack([](Packer& p) { p.pack_map(1); p.pack_nil(); p.pack(1); }), {}, "table index is nil"},
        {pack([&](Packer& p) { p.pack_map(1); p.pack_double(nan); p.pack(1); }), {}, "table index is NaN"},
        {luatest::nestedArrays(201), {}, "arguments nested deeper than 200 levels"},
        {pack([](Packer& p) { p.pack(std::string(2 << 20, 'x')); }), {0, 1024},
         "job memory limit of 1024 KB exceeded"},
    };
    for (const auto& c : cases) {
        logs.clear();
        auto r = run("return 'ran'", c.args, c.limits);
        EXPECT_FALSE(r.getStatus());
        EXPECT_EQ(r.getReason(), kInvalidArgs);
        EXPECT_TRUE(logs.has("script", Priority::ERROR, "invalid job arguments: " + c.cause)) << c.cause;
        EXPECT_EQ(answerOf(run("return 'next'")), "next");
    }
    EXPECT_EQ(answerOf(run("return #args", luatest::nestedArrays(200))), "1");
}

TEST_F(VM, LimitsFailTheScriptAndNameTheLimit)
{
    struct Case {
        const char* source;
        vek::JobLimits limits;
        std::string logged;
    } cases[] = {
        {"while true do end", {100, 0}, "failure: job time limit of 100 ms exceeded"},
        // Catching the error does not let a script run on.
        {"while true do pcall(function() while true do end end) end", {100, 0},
         "failure: job time limit of 100 ms exceeded"},
        {"local t = {} for i = 1, 1e9 do t[i] = i end", {0, 2048}, "failure: job memory limit of 2048 KB exceeded"},
    };
    for (const auto& c : cases) {
        logs.clear();
        const auto start = std::chrono::steady_clock::now();
        auto r = run(c.source, kNil, c.limits);
        // Far above the limits, far below a limit read in the wrong unit (100 s).
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        EXPECT_FALSE(r.getStatus());
        EXPECT_EQ(r.getReason(), kScriptFailed);
        EXPECT_TRUE(logs.has("script", Priority::ERROR, c.logged)) << c.source;
        EXPECT_EQ(answerOf(run("return 'next'", kNil, c.limits)), "next");
    }
    // Too little memory for even the libraries.
    auto r = run("return 1", kNil, {0, 4});
    EXPECT_EQ(r.getReason(), kResources);
    EXPECT_TRUE(logs.has("script", Priority::ERROR, "Failed to create a new Lua instance."));
}

} // namespace
