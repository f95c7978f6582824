#pragma once

#include <memory>
#include <string>
#include <vector>

#include <log4cpp/Category.hh>
#include <msgpack.hpp>

#include "job_budget.h"
#include "job_limits.h"
#include "job_result.h"

namespace vek {

class LuaVM;

/// Entry point of the Lua job runner: finds a job script by exact file name in the search
/// directories (first directory wins, read afresh for every job) and runs it in a LuaVM of its
/// own. Missing and failing scripts come back as failure results, not exceptions.
///
/// The next job's VM can be prepared while the caller is idle (prepareNextJob): its state opened
/// and its environment set, so that a request finds it ready. It still serves one job only, and
/// is closed when that job ends; the memory of a closed state is kept, within a bound, for the
/// next one.
class LuaAgent {
public:
    /// With no search directories, the working directory's "job_scripts" is searched.
    /// Throws std::runtime_error when that working directory cannot be determined.
    LuaAgent(std::vector<std::string> search_dirs, const char* staging_dir);
    virtual ~LuaAgent();
    LuaAgent(const LuaAgent&) = delete;
    LuaAgent& operator=(const LuaAgent&) = delete;

    /// Limits for the jobs run from now on; the default is none. A VM prepared under other
    /// limits is dropped.
    void setLimits(const JobLimits& limits);

    /// Prepares the next job's VM now, unless one is ready: for a caller with nothing else to
    /// do. Logs nothing; when preparing fails (a memory limit too small for the libraries), it
    /// is not tried again under the same limits, and the job reports the failure as usual.
    void prepareNextJob() noexcept;
    bool nextJobPrepared() const { return static_cast<bool>(_next_vm); }

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
    // Hands out the kept budget, or none (the VM makes one).
    std::unique_ptr<JobBudget> takeBudget() { return std::move(_spare_budget); }

    std::unique_ptr<LuaVM> _next_vm;
    // The budget, and with it the memory, of the last closed state.
    std::unique_ptr<JobBudget> _spare_budget;
    bool _prepare_failed = false;
};

} // namespace vek
