#include "src/lua_tools/lua_vm.h"

#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"
#include "lua_test_support.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

using log4cpp::Priority;
using luatest::answerOf;
using luatest::pack;
using luatest::Packer;

namespace {

const std::string kResources = "Dock command service error. Failed to allocate resources for job.";
const std::string kLoadFailed = "Dock command service error. Failed to load command script.";
const std::string kScriptFailed =
    "Dock command service error. Command script failure, please consult vek-command logs.";
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

TEST_F(VM, EveryStandardLibraryIsInPlace)
{
    // The globals and the loaded-modules table are made before the libraries open; everything
    // that refers to them must still agree.
    const char* check = R"(
        local names = {"coroutine", "package", "string", "table", "io", "os", "math", "bit32", "debug"}
        for _, name in ipairs(names) do
            assert(type(_G[name]) == "table", name)
            assert(package.loaded[name] == _G[name], name)
        end
        assert(_G._G == _G and package.loaded._G == _G)
        assert(debug.getregistry()._LOADED == package.loaded)
        assert(debug.getregistry()[2] == _G)
        assert(type(require) == "function" and type(print) == "function")
        x = 5
        assert(load("return x")() == 5)
        collectgarbage()
        assert(collectgarbage("isrunning"))
        local globals, loaded = 0, 0
        for _ in pairs(_G) do globals = globals + 1 end
        for _ in pairs(package.loaded) do loaded = loaded + 1 end
        return globals .. " " .. loaded)";
    auto r = run(check);
    ASSERT_TRUE(r.getStatus()) << r.getReason();
    // 37 globals of the libraries, then vekenv and x (args is nil); the libraries' 10 modules.
    // Both fit the sizes the tables are made with.
    EXPECT_EQ(answerOf(r), "39 10");
}

TEST_F(VM, PreparedVMRunsOneJobWithItsEnvironment)
{
    scripts.write("mod.lua", "return 'module'");
    const std::string script = scripts.write(
        "job.lua",
        "leaked = (leaked or 0) + 1 return require('mod') .. leaked .. vekenv.staging_dir .. tostring(args)");
    vek::LuaVM vm({scripts.path()}, staging.c_str());
    ASSERT_TRUE(vm.prepare());
    EXPECT_TRUE(vm.prepared());
    auto args = msgpack::unpack(kNil.data(), kNil.size());
    auto r = vm.executeScript(script.c_str(), args.get());
    EXPECT_EQ(answerOf(r), "module1/var/stagingnil");
    EXPECT_FALSE(vm.prepared());
    // The budget goes to the next VM with its memory; that VM's state is a new one.
    vek::LuaVM next({scripts.path()}, staging.c_str(), vm.takeBudget());
    r = next.executeScript(script.c_str(), args.get());
    EXPECT_EQ(answerOf(r), "module1/var/stagingnil");
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
                     p.pack_map(2);
                     p.pack("list");
                     p.pack_array(3);
                     p.pack(1);
                     p.pack_nil();
                     p.pack("x");
                     p.pack("n");
                     p.pack_int64(-5000000000);
                 }));
    EXPECT_EQ(answerOf(r), R"({"list"={1=1,2="x"},"n"=-5000000000})");
    EXPECT_TRUE(logs.has("script", Priority::DEBUG, "loading args onto Lua stack"));
    EXPECT_EQ(answerOf(run("return type(args)")), "nil");
    EXPECT_EQ(answerOf(run(dumpArgs, pack([](Packer& p) { p.pack("hi"); }))), R"("hi")");
}

TEST_F(VM, FloatArgumentsArriveAsTheSameNumbers)
{
    // Written out byte by byte: msgpack-c's packer would itself turn whole-number floats into
    // integers.
    auto float64 = [](uint64_t bits) {
        std::string out("\xcb");
        for (int shift = 56; shift >= 0; shift -= 8)
            out.push_back(static_cast<char>(bits >> shift));
        return out;
    };
    auto float32 = [](uint32_t bits) {
        std::string out("\xca");
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<char>(bits >> shift));
        return out;
    };
    struct Case {
        const char* name;
        std::string args;
        std::string answer;
    } cases[] = {
        {"2^64 as float 64", float64(0x43f0000000000000), "1.8446744073709552e+19 number"},
        {"2^64 as float 32", float32(0x5f800000), "1.8446744073709552e+19 number"},
        {"-2^63 as float 64", float64(0xc3e0000000000000), "-9.2233720368547758e+18 number"},
        {"1e300", float64(0x7e37e43c8800759c), "1.0000000000000001e+300 number"},
        {"whole number 3.0", float64(0x4008000000000000), "3 number"},
        {"negative zero keeps its sign", float64(0x8000000000000000), "-0 number"},
        {"infinity", float64(0x7ff0000000000000), "inf number"},
        {"in an array", "\x91" + float64(0x43f0000000000000), "1.8446744073709552e+19 number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = "local v = type(args) == 'table' and args[1] or args\n"
                                   "return string.format('%.17g', v) .. ' ' .. type(v)";
        EXPECT_EQ(answerOf(run(source, c.args)), c.answer);
    }
}

TEST_F(VM, TimeLimitCannotBeSwitchedOffByTheScript)
{
    // Each loop would run for seconds once the limit were gone, and then answer "escaped".
    const std::string loop = " for i = 1, 1e8 do end return 'escaped'";
    const std::string timeUp = "job time limit of 100 ms exceeded";
    const std::string noHook = "debug.sethook is not available under a job time limit";
    const std::string noFinalizer = "__gc metamethods are not available under a job time limit";
    struct Case {
        const char* name;
        std::string source;
        std::string logged;
        bool atLine1; // refusals name the script's line
    } cases[] = {
        {"hook removed", "debug.sethook()" + loop, noHook, true},
        {"refusal caught", "pcall(debug.sethook)" + loop, timeUp, false},
        {"hook replaced", "pcall(debug.sethook, function() end, '', 1)" + loop, timeUp, false},
        {"hook given back as it was", "local h, m, c = debug.gethook() pcall(debug.sethook, h, m, c)" + loop, timeUp,
         false},
        {"hook of a coroutine removed",
         "local co = coroutine.create(function() pcall(debug.sethook, coroutine.running())" + loop +
             " end)\n"
             "return select(2, coroutine.resume(co))",
         timeUp, false},
        {"coroutine's time-out caught", "pcall(coroutine.wrap(function()" + loop + " end))" + loop, timeUp, false},
        {"coroutine's time-out caught, main thread returns at once",
         "return select(2, pcall(coroutine.wrap(function()" + loop + " end)))", timeUp, false},
        {"finalizer", "setmetatable({}, {__gc = function()" + loop + " end})", noFinalizer, true},
        {"finalizer through the debug library", "debug.setmetatable({}, {__gc = function() end})", noFinalizer, true},
        {"finalizer through require", "require('debug').setmetatable({}, {__gc = print})", noFinalizer, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        logs.clear();
        const auto r = run(c.source, kNil, {100, 0});
        EXPECT_FALSE(r.getStatus()) << answerOf(r);
        EXPECT_EQ(r.getReason(), kScriptFailed);
        const std::string logged = "failure: " + (c.atLine1 ? path + ":1: " : "") + c.logged;
        EXPECT_TRUE(logs.has("script", Priority::ERROR, logged)) << testing::PrintToString(logs.messages("script"));
    }

    // Metatables without finalizers work as before under the limit, and without a time limit
    // nothing is changed.
    const vek::JobLimits timeLimit{100, 0}, none{}, memoryOnly{0, 4096};
    struct Plain {
        const char* source;
        vek::JobLimits limits;
        std::string answer;
    } plain[] = {
        {"return getmetatable(setmetatable({}, {__index = {x = 7}})).__index.x", timeLimit, "7"},
        {"return debug.getmetatable(debug.setmetatable({}, {__index = {x = 8}})).__index.x", timeLimit, "8"},
        {"local t = setmetatable({}, {__metatable = 'locked'}) return select(2, pcall(setmetatable, t, {}))", timeLimit,
         "cannot change a protected metatable"},
        // The function's name in the message depends on the order Lua finds it in.
        {"return ((select(2, pcall(setmetatable, 1, {}))):gsub(\"'[^']*'\", \"'f'\"))", timeLimit,
         "bad argument #1 to 'f' (table expected, got number)"},
        {"return type(debug.gethook())", timeLimit, "string"},
        {"debug.sethook() setmetatable({}, {__gc = function() end}) return 'ran'", none, "ran"},
        {"debug.sethook(function() end, '', 100) debug.sethook() return 'ran'", memoryOnly, "ran"},
    };
    for (const Plain& p : plain) {
        SCOPED_TRACE(p.source);
        EXPECT_EQ(answerOf(run(p.source, kNil, p.limits)), p.answer);
    }
}

TEST_F(VM, UnusableArgumentsFailTheJobOnly)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        std::string args;
        vek::JobLimits limits;
        std::string cause;
    } cases[] = {
        {pack([](Packer& p) {
             p.pack_map(1);
             p.pack_nil();
             p.pack(1);
         }),
         {},
         "table index is nil"},
        {pack([&](Packer& p) {
             p.pack_map(1);
             p.pack_double(nan);
             p.pack(1);
         }),
         {},
         "table index is NaN"},
        {luatest::nestedArrays(201), {}, "arguments nested deeper than 200 levels"},
        {pack([](Packer& p) { p.pack(std::string(2 << 20, 'x')); }), {0, 1024}, "job memory limit of 1024 KB exceeded"},
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
        {"while true do pcall(function() while true do end end) end",
         {100, 0},
         "failure: job time limit of 100 ms exceeded"},
        {"local t = {} for i = 1, 1e9 do t[i] = i end", {0, 2048}, "failure: job memory limit of 2048 KB exceeded"},
    };
    for (const auto& c : cases) {
        logs.clear();
        const auto start = std::chrono::steady_clock::now();
        auto r = run(c.source, kNil, c.limits);
        // Far above the limits, far below a limit read in the wrong unit (100 s).
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1) + testsupport::kSchedulingSlack);
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
