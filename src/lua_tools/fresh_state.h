#pragma once

#include <memory>

#include <lua.hpp>

#include "job_budget.h"
#include "job_limits.h"
#include "common/c_handle.h"

namespace vek {

/// Creates a Lua state whose allocator is `budget` (reset to `limits` first) and opens the
/// standard libraries in it under protection. Returns null when the state cannot be created;
/// otherwise the state, with `status` the libraries' lua_pcall status and, when that is not
/// LUA_OK, the error value on top of its stack.
lua_State* openJobState(JobBudget& budget, const JobLimits& limits, int& status);

/// A job's Lua state opened before the job arrives: the standard libraries are open and nothing
/// else has been done with it. It carries the JobBudget that is its allocator, made under the
/// limits the job will run with, so the job's memory cap counts the libraries just as it does in
/// a state the job opens itself. A LuaVM takes it over for exactly one job.
class FreshState {
public:
    FreshState() = default;
    FreshState(FreshState&&) noexcept = default;
    /// Closes the state held so far before its budget goes.
    FreshState& operator=(FreshState&& other) noexcept;

    /// A state under `limits`, or an empty object when it cannot be opened; nothing is logged,
    /// as no job is running yet.
    static FreshState open(const JobLimits& limits);

    explicit operator bool() const { return static_cast<bool>(_L); }
    const JobLimits& limits() const { return _budget->limits(); }

private:
    friend class LuaVM;

    // The budget is the state's allocator, so the state (declared after it) is closed first.
    std::unique_ptr<JobBudget> _budget;
    CHandle<lua_State, lua_close> _L;
};

} // namespace vek
