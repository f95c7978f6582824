#include "lua_agent.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "lua_test_support.h"
#include "temp_dir.h"

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
    vek::JobResult run(vek::LuaAgent& agent, const std::string& name)
    {
        return agent.runJob(name, msgpack::object());
    }

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

TEST_F(Agent, PreparedStateServesOneJobOnly)
{
    first.write("set.lua", "leaked = 'from the last job' return 'set'");
    first.write("get.lua", "return tostring(leaked)");
    vek::LuaAgent agent({first.path()}, "/tmp");
    agent.prepareState();
    ASSERT_TRUE(agent.statePrepared());
    EXPECT_EQ(answerOf(run(agent, "set.lua")), "set");
    EXPECT_FALSE(agent.statePrepared());
    agent.prepareState();
    EXPECT_EQ(answerOf(run(agent, "get.lua")), "nil");
    // A job that finds no script leaves the prepared state for the next one.
    agent.prepareState();
    EXPECT_FALSE(run(agent, "missing.lua").getStatus());
    EXPECT_TRUE(agent.statePrepared());
    EXPECT_EQ(answerOf(run(agent, "get.lua")), "nil");
}

TEST_F(Agent, PreparedStateRunsUnderTheLimitsInForce)
{
    first.write("job.lua", "return 'ran'");
    first.write("spin.lua", "while true do end");
    vek::LuaAgent agent({first.path()}, "/tmp");
    // The smallest memory limit a job runs under, found without prepared states, holds with them
    // too: the libraries count toward the limit either way.
    auto runs = [&](size_t kb, bool prepared) {
        agent.setLimits({0, kb});
        EXPECT_FALSE(agent.statePrepared()); // made under the old limits
        if (prepared)
            agent.prepareState();
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
    EXPECT_FALSE(runs(low - 1, true));

    agent.setLimits({50, 0});
    agent.prepareState();
    logs.clear();
    EXPECT_FALSE(run(agent, "spin.lua").getStatus());
    EXPECT_TRUE(logs.has("script", Priority::ERROR, "failure: job time limit of 50 ms exceeded"));

    // Too little memory for the libraries: nothing is prepared, and the job fails as it always did.
    agent.setLimits({0, 4});
    agent.prepareState();
    EXPECT_FALSE(agent.statePrepared());
    logs.clear();
    EXPECT_EQ(std::string(run(agent, "job.lua").getReason()),
              "Dock command service error. Failed to allocate resources for job.");
    EXPECT_TRUE(logs.has("script", Priority::ERROR, "Failed to create a new Lua instance."));
}

// Under LeakSanitizer, anything a job leaves behind is reported at exit.
TEST_F(Agent, ManyJobsIncludingFailingOnes)
{
    first.write("ok.lua", luatest::kDumpLua + "return dump(args)");
    first.write("bad.lua", "error({})");
    first.write("hog.lua", "local t = {} for i = 1, 1e9 do t[i] = {} end");
    first.write("syntax.lua", "return (");
    const std::string nilKey = luatest::pack([](luatest::Packer& p) { p.pack_map(1); p.pack_nil(); p.pack(1); });
    const auto badArgs = msgpack::unpack(nilKey.data(), nilKey.size());
    const std::string map = luatest::pack([](luatest::Packer& p) { p.pack_map(1); p.pack("a"); p.pack("b"); });
    const auto goodArgs = msgpack::unpack(map.data(), map.size());
    vek::LuaAgent agent({first.path()}, "/tmp");
    agent.setLimits({0, 512});
    int succeeded = 0;
    for (int i = 0; i < 60; ++i) {
        succeeded += agent.runJob("ok.lua", goodArgs.get()).getStatus();
        succeeded += agent.runJob("ok.lua", badArgs.get()).getStatus();
        for (const char* name : {"bad.lua", "hog.lua", "syntax.lua", "missing.lua"})
            succeeded += agent.runJob(name, goodArgs.get()).getStatus();
    }
    EXPECT_EQ(succeeded, 60);
}

} // namespace
