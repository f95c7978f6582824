// Cost of one command job against the bare cost of running the same script in a fresh Lua state.
// Run (from the source tree, after configuring build/normal):
//   cmake --build build/normal --target bench_lua_job && build/normal/benchmarks/lua/bench_lua_job
// The last line gives runJob's time as a multiple of the bare floor.

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <benchmark/benchmark.h>
#include <log4cpp/Category.hh>
#include <lua.hpp>
#include <msgpack.hpp>

#include "src/lua_tools/lua_agent.h"

namespace {

/// A scratch directory holding the job script, removed at exit.
struct ScriptDir {
    ScriptDir()
    {
        char pattern[] = "/tmp/bench_lua_job.XXXXXX";
        if (!mkdtemp(pattern))
            std::abort();
        path = pattern;
        std::ofstream(path + "/job.lua") << "return 42\n";
    }
    ~ScriptDir() { std::filesystem::remove_all(path); }
    std::string script() const { return path + "/job.lua"; }
    std::string path;
};

const ScriptDir& scripts()
{
    static const ScriptDir dir;
    return dir;
}

void BM_RunJob(benchmark::State& state)
{
    msgpack::sbuffer bytes;
    msgpack::packer<msgpack::sbuffer> p(bytes);
    p.pack_map(3);
    p.pack("name");
    p.pack("door");
    p.pack("count");
    p.pack(3);
    p.pack("flags");
    p.pack_array(2);
    p.pack(true);
    p.pack(false);
    const auto args = msgpack::unpack(bytes.data(), bytes.size());
    vek::LuaAgent agent({scripts().path + "/"}, "/tmp");
    for (auto _ : state) {
        vek::JobResult result = agent.runJob("job.lua", args.get());
        if (!result.getStatus() || result.getAnswer().size() != 2)
            state.SkipWithError("job failed");
        benchmark::DoNotOptimize(result);
    }
}

void BM_Floor(benchmark::State& state)
{
    const std::string script = scripts().script();
    for (auto _ : state) {
        lua_State* L = luaL_newstate();
        luaL_openlibs(L);
        if (luaL_loadfile(L, script.c_str()) != LUA_OK || lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK)
            state.SkipWithError("script failed");
        benchmark::DoNotOptimize(lua_tonumber(L, -1));
        lua_close(L);
    }
}

double minimum(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

// Repeated, as the machine may be shared: other load only ever adds time, so the ratio is taken
// between the fastest repetitions, in CPU time.
BENCHMARK(BM_RunJob)->Repetitions(9)->ReportAggregatesOnly(true)->ComputeStatistics("min", minimum);
BENCHMARK(BM_Floor)->Repetitions(9)->ReportAggregatesOnly(true)->ComputeStatistics("min", minimum);

/// The console output plus the ratio of the two fastest CPU times.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const auto& run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "min")
                _times[run.run_name.function_name] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        const auto job = _times.find("BM_RunJob");
        const auto floor = _times.find("BM_Floor");
        if (job != _times.end() && floor != _times.end() && floor->second > 0)
            std::printf("runJob / floor (fastest CPU time) = %.2f\n", job->second / floor->second);
    }

private:
    std::map<std::string, double> _times;
};

} // namespace

int main(int argc, char** argv)
{
    // As deployed: DEBUG records are not wanted.
    log4cpp::Category::getRoot().setPriority(log4cpp::Priority::INFO);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
