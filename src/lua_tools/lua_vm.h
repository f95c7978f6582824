#pragma once

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
    /// staging_dir is kept, not copied: the caller keeps it alive for the VM's life.
    LuaVM(const std::vector<std::string>& search_dirs, const char* staging_dir);
    virtual ~LuaVM();
    LuaVM(const LuaVM&) = delete;
    LuaVM& operator=(const LuaVM&) = delete;

    /// Limits for the state opened next; the default is none.
    void setLimits(const JobLimits& limits) { _limits = limits; }
    /// Memory the job's request holds outside the state, counted against its memory limit.
    void setRequestBytes(size_t bytes) { _request_bytes = bytes; }

    bool open();
    void close();
    JobResult executeScript(const char* abs_path, const msgpack::object& args);

protected:
    log4cpp::Category& log;
    CHandle<lua_State, lua_close> _L;

private:
    bool addVekEnv();
    bool addSearchDirs();
    bool loadArgs(const msgpack::object& args);
    bool unloadAnswer(std::vector<unsigned char>& answer);
    void logLuaError(int status);

    const char* _staging_dir;
    std::vector<std::string> _search_dirs;
    JobLimits _limits;
    size_t _request_bytes = 0;
    // The state's allocator data: must outlive _L, which the destructor closes first.
    JobBudget _budget;
};

} // namespace vek
