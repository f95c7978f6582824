#include "src/lua_tools/lua_agent.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"
#include "lua_test_support.h"
#include "tests/support/temp_dir.h"

using log4cpp::Priority;
using luatest::answerOf;

namespace {

/// Works in another directory while it lives.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& dir) : _old(getcwd(nullptr, 0)) { EXPECT_EQ(chdir(dir.c_str()), 0); }
    ~WorkingDirectory()
    {
        EXPECT_EQ(chdir(_old), 0);
        std::free(_old);
    }

private:
    char* _old;
};

class Agent : public ::testing::Test {
protected:
    vek::JobResult run(vek::LuaAgent& agent, const std::string& name) { return agent.runJob(name, msgpack::object()); }

    testsupport::TempDir first, second;
    testsupport::LogCapture logs;
};

TEST_F(Agent, FirstDirectoryHoldingTheNameWins)
{
    first.write("job.lua", "return 'first'");
    second.write("job.lua", "return 'second'");
    second.write("other.lua", "return 'other'");
    vek::LuaAgent agent({"/no/such/dir/", first.path() + "/", second.path()}, "/tmp");
    EXPECT_TRUE(logs.has("lua_agent", Priority::INFO, "script directory: /no/such/dir/"));
    EXPECT_TRUE(logs.has("lua_agent", Priority::INFO, "script directory: " + second.path()));

    auto r = run(agent, "job.lua");
    EXPECT_EQ(answerOf(r), "first");
    r = run(agent, "other.lua");
    EXPECT_EQ(answerOf(r), "other");
    EXPECT_EQ(logs.count("opendir(/no/such/dir/): No such file or directory"), 2u);

    // Exactly one "/" between directory and name, with or without a trailing one.
    std::string path;
    EXPECT_TRUE(agent.findScript(path, "job.lua"));
    EXPECT_EQ(path, first.path() + "/job.lua");
    EXPECT_TRUE(agent.findScript(path, "other.lua"));
    EXPECT_EQ(path, second.path() + "/other.lua");
}

TEST_F(Agent, OnlyTheExactFileNameIsFound)
{
    first.write("Job.lua", "return 1");
    mkdir(first.file("sub").c_str(), 0700);
    first.write("sub/inner.lua", "return 1");
    vek::LuaAgent agent({first.path()}, "/tmp");
    for (const std::string name : {"job.lua", "Job", "Job.lua ", "sub/inner.lua", "./Job.lua", ""}) {
        std::string path = "unchanged";
        EXPECT_FALSE(agent.findScript(path, name)) << name;
        EXPECT_EQ(path, "unchanged");
        auto r = run(agent, name);
        EXPECT_FALSE(r.getStatus());
        EXPECT_EQ(r.getReason(), "Cannot run job. Script not found \"" + name + "\"");
    }
    EXPECT_TRUE(logs.messages("lua_agent").size() == 1); // only the directory line
    EXPECT_TRUE(run(agent, "Job.lua").getStatus());
}

TEST_F(Agent, FailingJobIsLoggedWithItsPath)
{
    mkdir(first.file("dir.lua").c_str(), 0700);
    first.write("bad.lua", "error('x')");
    vek::LuaAgent agent({first.path()}, "/tmp");
    auto r = run(agent, "dir.lua");
    EXPECT_EQ(r.getReason(), std::string("Dock command service error. Failed to load command script."));
    EXPECT_TRUE(logs.has("lua_agent", Priority::ERROR, first.file("dir.lua") + " job failed"));
    r = run(agent, "bad.lua");
    EXPECT_EQ(r.getReason(),
              std::string("Dock command service error. Command script failure, please consult vek-command logs."));
    EXPECT_TRUE(logs.has("lua_agent", Priority::ERROR, first.file("bad.lua") + " job failed"));
}

TEST_F(Agent, DefaultsToJobScriptsInTheWorkingDirectory)
{
    char real[PATH_MAX];
    ASSERT_TRUE(realpath(first.path().c_str(), real));
    mkdir(first.file("job_scripts").c_str(), 0700);
    first.write("job_scripts/job.lua", "return vekenv.staging_dir");
    WorkingDirectory cwd(first.path());
    vek::LuaAgent agent({}, "/stage");
    EXPECT_TRUE(logs.has("lua_agent", Priority::INFO, std::string("script directory: ") + real + "/job_scripts"));
    auto r = run(agent, "job.lua");
    EXPECT_EQ(answerOf(r), "/stage");
}

TEST_F(Agent, LostWorkingDirectoryIsAnError)
{
    mkdir(first.file("gone").c_str(), 0700);
    WorkingDirectory cwd(first.file("gone"));
    rmdir(first.file("gone").c_str());
    try {
        vek::LuaAgent agent({}, "/tmp");
        FAIL() << "constructed";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "getcwd: No such file or directory");
    }
}

TEST_F(Agent, LimitsReachEveryJob)
{
    first.write("spin.lua", "while true do end");
    vek::LuaAgent agent({first.path()}, "/tmp");
    agent.setLimits({50, 0});
    EXPECT_FALSE(run(agent, "spin.lua").getStatus());
    EXPECT_TRUE(logs.has("script", Priority::ERROR, "failure: job time limit of 50 ms exceeded"));
}

TEST_F(Agent, JobsOfOneAgentShareNoGlobals)
{
    first.write("set.lua", "leaked = 'from the last job' string.leaked = 1 return 'set'");
    first.write("get.lua", "return tostring(leaked) .. ' ' .. tostring(string.leaked)");
    vek::LuaAgent agent({first.path()}, "/tmp");
    EXPECT_EQ(answerOf(run(agent, "set.lua")), "set");
    EXPECT_EQ(answerOf(run(agent, "get.lua")), "nil nil");
    // Nor does a job that never ran hand anything on.
    EXPECT_FALSE(run(agent, "missing.lua").getStatus());
    EXPECT_EQ(answerOf(run(agent, "set.lua")), "set");
    EXPECT_EQ(answerOf(run(agent, "get.lua")), "nil nil");
}

TEST_F(Agent, PreparedStateServesOneJobOnly)
{
    first.write("set.lua", "leaked = 'from the last job' string.leaked = 1 return 'set'");
    first.write("get.lua", "return tostring(leaked) .. ' ' .. tostring(string.leaked) .. ' ' .. vekenv.staging_dir");
    vek::LuaAgent agent({first.path()}, "/tmp");
    agent.prepareNextJob();
    ASSERT_TRUE(agent.nextJobPrepared());
    EXPECT_EQ(answerOf(run(agent, "set.lua")), "set");
    EXPECT_FALSE(agent.nextJobPrepared());
    agent.prepareNextJob();
    EXPECT_EQ(answerOf(run(agent, "get.lua")), "nil nil /tmp");
    // Preparing again while one is ready changes nothing; a job that finds no script leaves the
    // prepared state for the next one.
    agent.prepareNextJob();
    agent.prepareNextJob();
    EXPECT_FALSE(run(agent, "missing.lua").getStatus());
    EXPECT_TRUE(agent.nextJobPrepared());
    EXPECT_EQ(answerOf(run(agent, "set.lua")), "set");
    // Prepared or not, jobs take turns.
    EXPECT_EQ(answerOf(run(agent, "get.lua")), "nil nil /tmp");
    agent.prepareNextJob();
    EXPECT_EQ(answerOf(run(agent, "get.lua")), "nil nil /tmp");
}

TEST_F(Agent, PreparedStateRunsUnderTheLimitsInForce)
{
    first.write("job.lua", "return 'ran'");
    first.write("spin.lua", "while true do end");
    vek::LuaAgent agent({first.path()}, "/tmp");
    // The smallest memory limit a job runs under, found without prepared states, holds with them
    // too: the libraries and the environment count toward the limit either way.
    auto runs = [&](size_t kb, bool prepared) {
        agent.setLimits({0, kb});
        if (prepared)
            agent.prepareNextJob();
        EXPECT_EQ(agent.nextJobPrepared(), prepared) << kb;
        return run(agent, "job.lua").getStatus();
    };
    size_t low = 1, high = 1024;
    ASSERT_TRUE(runs(high, false));
    while (low < high) {
        const size_t middle = (low + high) / 2;
        if (runs(middle, false))
            high = middle;
        else
            low = middle + 1;
    }
    ASSERT_GT(low, 1u);
    EXPECT_TRUE(runs(low, true));
    EXPECT_TRUE(runs(low, true)); // a state's memory, kept for the next, counts afresh
    EXPECT_FALSE(runs(low - 1, false));

    // A state prepared under other limits is not used.
    agent.setLimits({0, 0});
    agent.prepareNextJob();
    agent.setLimits({50, 0});
    EXPECT_FALSE(agent.nextJobPrepared());
    agent.prepareNextJob();
    logs.clear();
    EXPECT_FALSE(run(agent, "spin.lua").getStatus());
    EXPECT_TRUE(logs.has("script", Priority::ERROR, "failure: job time limit of 50 ms exceeded"));
    // Setting the same limits again keeps the prepared state.
    agent.prepareNextJob();
    agent.setLimits({50, 0});
    EXPECT_TRUE(agent.nextJobPrepared());

    // Too little memory for the libraries: nothing is prepared, quietly, and the job fails and
    // reports as it always did.
    agent.setLimits({0, 4});
    logs.clear();
    agent.prepareNextJob();
    EXPECT_FALSE(agent.nextJobPrepared());
    EXPECT_EQ(logs.count("Failed to create a new Lua instance."), 0u);
    EXPECT_EQ(std::string(run(agent, "job.lua").getReason()),
              "Dock command service error. Failed to allocate resources for job.");
    EXPECT_TRUE(logs.has("script", Priority::ERROR, "Failed to create a new Lua instance."));
}

TEST_F(Agent, ChangedLimitsApplyToTheNextJob)
{
    first.write("job.lua", "return 'ran'");
    first.write("spin.lua", "while true do end");
    vek::LuaAgent agent({first.path()}, "/tmp");
    const std::string kResources = "Dock command service error. Failed to allocate resources for job.";
    const std::string kScriptFailed =
        "Dock command service error. Command script failure, please consult vek-command logs.";
    struct Step {
        vek::JobLimits limits;
        const char* script;
        std::string reason; // empty: the job succeeds
    };
    const Step steps[] = {
        {{0, 0}, "job.lua", ""}, {{0, 4}, "job.lua", kResources}, // too little memory for the libraries
        {{0, 0}, "job.lua", ""}, {{50, 0}, "spin.lua", kScriptFailed}, {{0, 4096}, "job.lua", ""},
    };
    // Each step once with the state the job opens and once with one prepared before the limits
    // changed, as the service prepares whenever it is idle.
    for (bool prepared : {false, true}) {
        for (const Step& step : steps) {
            if (prepared)
                agent.prepareNextJob();
            agent.setLimits(step.limits);
            const auto r = run(agent, step.script);
            EXPECT_EQ(r.getStatus(), step.reason.empty()) << step.script << " " << step.limits.memory_limit_kb;
            EXPECT_EQ(std::string(r.getReason()), step.reason) << step.script << " prepared " << prepared;
        }
    }
}

// Under LeakSanitizer, anything a job leaves behind is reported at exit.
TEST_F(Agent, ManyJobsIncludingFailingOnes)
{
    first.write("ok.lua", luatest::kDumpLua + "return dump(args)");
    first.write("bad.lua", "error({})");
    first.write("hog.lua", "local t = {} for i = 1, 1e9 do t[i] = {} end");
    first.write("syntax.lua", "return (");
    const std::string nilKey = luatest::pack([](luatest::Packer& p) {
        p.pack_map(1);
        p.pack_nil();
        p.pack(1);
    });
    const auto badArgs = msgpack::unpack(nilKey.data(), nilKey.size());
    const std::string map = luatest::pack([](luatest::Packer& p) {
        p.pack_map(1);
        p.pack("a");
        p.pack("b");
    });
    const auto goodArgs = msgpack::unpack(map.data(), map.size());
    vek::LuaAgent agent({first.path()}, "/tmp");
    agent.setLimits({0, 512});
    int succeeded = 0;
    for (int i = 0; i < 60; ++i) {
        // Half of the rounds start on a prepared state, as in the service.
        if (i % 2 == 0)
            agent.prepareNextJob();
        succeeded += agent.runJob("ok.lua", goodArgs.get()).getStatus();
        succeeded += agent.runJob("ok.lua", badArgs.get()).getStatus();
        for (const char* name : {"bad.lua", "hog.lua", "syntax.lua", "missing.lua"})
            succeeded += agent.runJob(name, goodArgs.get()).getStatus();
    }
    EXPECT_EQ(succeeded, 60);
}

} // namespace
