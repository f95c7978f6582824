#include "job_budget.h"

#include <cstdio>

namespace vek {

void JobBudget::reset(const JobLimits& limits)
{
    _limits = limits;
    _limit_bytes = limits.memory_limit_kb * 1024;
    _used = 0;
    _memory_refused = false;
    _deadline = {};
    _time_expired = false;
    _arena.reset();
}

bool JobBudget::charge(size_t bytes)
{
    if (_limit_bytes == 0)
        return true;
    if (bytes > _limit_bytes - _used) {
        _memory_refused = true;
        return false;
    }
    _used += bytes;
    return true;
}

void* JobBudget::allocate(void* ud, void* ptr, size_t osize, size_t nsize) noexcept
{
    // Without a block, osize carries the object type, not a size.
    return static_cast<JobBudget*>(ud)->resize(ptr, ptr ? osize : 0, nsize);
}

void* JobBudget::allocateCapped(void* ud, void* ptr, size_t osize, size_t nsize) noexcept
{
    auto* self = static_cast<JobBudget*>(ud);
    const size_t old = ptr ? osize : 0;
    if (nsize == 0) {
        self->resize(ptr, old, 0);
        self->_used -= old;
        return nullptr;
    }
    // Only growth is refused: Lua relies on shrinking never failing. The bytes counted are the
    // ones Lua asks for, whatever the arena rounds them up to.
    if (nsize > old && self->_used - old + nsize > self->_limit_bytes) {
        self->_memory_refused = true;
        return nullptr;
    }
    void* block = self->resize(ptr, old, nsize);
    if (block)
        self->_used = self->_used - old + nsize;
    return block;
}

void* JobBudget::allocateClosing(void* ud, void* ptr, size_t osize, size_t nsize) noexcept
{
    auto* self = static_cast<JobBudget*>(ud);
    if (nsize == 0) {
        if (ptr) {
            self->_arena.discard(ptr);
            // Only a capped budget counts what it holds.
            if (self->_limit_bytes != 0)
                self->_used -= osize;
        }
        return nullptr;
    }
    return self->_limit_bytes != 0 ? allocateCapped(ud, ptr, osize, nsize) : allocate(ud, ptr, osize, nsize);
}

void JobBudget::startClock(lua_State* L)
{
    if (_limits.time_limit_ms == 0)
        return;
    _deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(_limits.time_limit_ms);
    lua_sethook(L, &JobBudget::checkClock, LUA_MASKCOUNT, hook_count);
}

// Runs inside the Lua VM: nothing here may own a resource, as lua_error longjmps out.
void JobBudget::checkClock(lua_State* L, lua_Debug*)
{
    void* ud = nullptr;
    lua_getallocf(L, &ud);
    auto* self = static_cast<JobBudget*>(ud);
    if (!self->_time_expired && std::chrono::steady_clock::now() < self->_deadline)
        return;
    self->_time_expired = true;
    // From now on every instruction of this thread raises, so a script that catches the error
    // with pcall still cannot carry on; the main thread too, when this is a coroutine whose
    // error the script catches. Other coroutines raise at their next hook.
    lua_sethook(L, &JobBudget::checkClock, LUA_MASKCOUNT, 1);
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_MAINTHREAD);
    lua_State* main = lua_tothread(L, -1);
    lua_pop(L, 1);
    if (main && main != L)
        lua_sethook(main, &JobBudget::checkClock, LUA_MASKCOUNT, 1);
    char text[64];
    std::snprintf(text, sizeof text, "job time limit of %u ms exceeded", self->_limits.time_limit_ms);
    lua_pushstring(L, text);
    lua_error(L);
}

} // namespace vek
