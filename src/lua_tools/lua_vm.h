#pragma once

#include <memory>
#include <string>
#include <vector>

#include <log4cpp/Category.hh>
#include <lua.hpp>
#include <msgpack.hpp>

#include "job_budget.h"
#include "job_limits.h"
#include "job_result.h"
#include "common/c_handle.h"

namespace vek {

/// One Lua 5.2 state for one job: opens it with the standard libraries, gives the script
/// `vekenv`, the module search paths and `args`, runs the script file in protected mode and turns
/// its last return value into the job's answer bytes. Failures come back as results with fixed
/// reasons; the Lua error text goes to the log only.
class LuaVM {
public:
    /// staging_dir is kept, not copied: the caller keeps it alive for the VM's life. A budget
    /// given here is reused (with the memory it keeps) for the state; else the VM makes one.
    LuaVM(const std::vector<std::string>& search_dirs, const char* staging_dir,
          std::unique_ptr<JobBudget> budget = nullptr);
    virtual ~LuaVM();
    LuaVM(const LuaVM&) = delete;
    LuaVM& operator=(const LuaVM&) = delete;

    /// Limits for the state opened next; the default is none.
    void setLimits(const JobLimits& limits) { _limits = limits; }
    /// Memory the job's request holds outside the state, counted against its memory limit.
    void setRequestBytes(size_t bytes) { _request_bytes = bytes; }
    const JobLimits& limits() const { return _limits; }

    bool open();
    void close();
    /// Opens the state and gives it the script's environment ahead of the job, so that
    /// executeScript only loads and runs. Logs nothing: no job runs yet, and a job on a VM whose
    /// preparation failed tries again and reports as usual. False when it failed.
    bool prepare();
    bool prepared() const { return _prepared; }
    /// Closes the state and hands over its budget, with the memory it keeps, for another VM.
    std::unique_ptr<JobBudget> takeBudget();
    JobResult executeScript(const char* abs_path, const msgpack::object& args);

protected:
    log4cpp::Category& log;
    vek::CHandle<lua_State, lua_close> _L;

private:
    // The state alone, with nothing logged; false when it cannot be created.
    bool openState();
    // The standard libraries, with the collector stopped; lua_pcall's status.
    int openLibraries();
    void startCollector();
    // These two return lua_pcall's status, with the error value on top when it is not LUA_OK.
    int addVekEnv();
    int addSearchDirs();
    bool loadArgs(const msgpack::object& args);
    bool unloadAnswer(std::vector<unsigned char>& answer);
    void logLuaError(int status);

    const char* _staging_dir;
    std::vector<std::string> _search_dirs;
    JobLimits _limits;
    size_t _request_bytes = 0;
    // The state's allocator data: must outlive _L, which the destructor closes first.
    std::unique_ptr<JobBudget> _budget;
    bool _prepared = false;
};

} // namespace vek
