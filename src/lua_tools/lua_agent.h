#pragma once

#include <string>
#include <vector>

#include <log4cpp/Category.hh>
#include <msgpack.hpp>

#include "job_limits.h"
#include "job_result.h"

namespace vek {

/// Entry point of the Lua job runner: finds a job script by exact file name in the search
/// directories (first directory wins, read afresh for every job) and runs it in a LuaVM of its
/// own. Missing and failing scripts come back as failure results, not exceptions.
class LuaAgent {
public:
    /// With no search directories, the working directory's "job_scripts" is searched.
    /// Throws std::runtime_error when that working directory cannot be determined.
    LuaAgent(std::vector<std::string> search_dirs, const char* staging_dir);
    virtual ~LuaAgent() = default;
    LuaAgent(const LuaAgent&) = delete;
    LuaAgent& operator=(const LuaAgent&) = delete;

    /// Limits for the jobs run from now on; the default is none.
    void setLimits(const JobLimits& limits) { _limits = limits; }

    /// request_bytes: memory the decoded request holds, counted against the job's memory limit.
    JobResult runJob(const std::string& script_name, const msgpack::object& args, size_t request_bytes = 0);
    /// True with script_path set when some search directory holds script_name; else script_path
    /// is left as it was.
    bool findScript(std::string& script_path, const std::string& script_name);

private:
    log4cpp::Category& log;
    std::vector<std::string> _search_dirs;
    std::string _staging_dir;
    JobLimits _limits;
};

} // namespace vek
