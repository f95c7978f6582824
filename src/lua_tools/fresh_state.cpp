#include "fresh_state.h"

#include <new>

#include <log4cpp/Category.hh>

#include "protected_call.h"

namespace vek {

namespace {

// Runs under lua_pcall and may raise; it owns nothing.
int openLibraries(lua_State* L)
{
    luaL_openlibs(L);
    return 0;
}

int onPanic(lua_State* L)
{
    // Everything that can raise runs protected, so this is a fault in the job runner itself.
    try {
        const char* text = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "error object is not a string";
        log4cpp::Category::getInstance("script").fatal("PANIC: unprotected error in call to Lua API (%s)", text);
    } catch (...) {
    }
    return 0; // Lua aborts
}

} // namespace

lua_State* openJobState(JobBudget& budget, const JobLimits& limits, int& status)
{
    budget.reset(limits);
    lua_State* L = lua_newstate(budget.allocator(), &budget);
    if (!L)
        return nullptr;
    lua_atpanic(L, &onPanic);
    // Under a memory limit even the libraries may not fit.
    status = callProtected(L, &openLibraries, nullptr, 0, 0);
    return L;
}

FreshState& FreshState::operator=(FreshState&& other) noexcept
{
    // Member-wise, the budget would go first and the state would then be closed through it.
    _L.reset();
    _budget = std::move(other._budget);
    _L = std::move(other._L);
    return *this;
}

FreshState FreshState::open(const JobLimits& limits)
{
    FreshState state;
    state._budget.reset(new (std::nothrow) JobBudget);
    if (!state._budget)
        return state;
    int status = LUA_OK;
    state._L.reset(openJobState(*state._budget, limits, status));
    if (status != LUA_OK)
        state._L.reset();
    return state;
}

} // namespace vek
