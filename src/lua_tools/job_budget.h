#pragma once

#include <chrono>
#include <cstddef>

#include <lua.hpp>

#include "job_arena.h"
#include "job_limits.h"

namespace vek {

/// Enforces the JobLimits of one Lua state: it is the state's allocator (its blocks come from an
/// arena of its own, and growth past the memory cap is refused) and, once the script starts, its
/// count hook (raising an error past the deadline). The state keeps a pointer to it as the
/// allocator's user data, so it must outlive the state. Reset, it serves the next state with the
/// memory the last one left in the arena.
class JobBudget {
public:
    /// Instructions between two clock reads of the time-limit hook.
    static constexpr int hook_count = 1000;

    JobBudget() = default;
    JobBudget(const JobBudget&) = delete;
    JobBudget& operator=(const JobBudget&) = delete;

    /// Takes the limits for the next state and forgets the last state's memory; call before that
    /// state is created and never while a state allocates from this budget.
    void reset(const JobLimits& limits);

    /// Counts memory the job holds outside its state (its decoded request) against the cap, for
    /// the rest of the state's life. False, with nothing counted, when it does not fit.
    bool charge(size_t bytes);

    /// The lua_Alloc for lua_newstate under the current limits; its user data is this object.
    lua_Alloc allocator() const { return _limit_bytes != 0 ? &JobBudget::allocateCapped : &JobBudget::allocate; }

    /// Starts the time limit on L (no-op without one). Lua runs no hooks inside __gc
    /// metamethods, so finalizers are outside the limit.
    void startClock(lua_State* L);

    /// L, whose allocator this is, is about to be closed: the blocks it frees from now on are
    /// not listed for reuse, as the next reset forgets them all anyway. Finalizers run while it
    /// closes can still allocate, under the cap when there is one.
    void beginClose(lua_State* L) { lua_setallocf(L, &JobBudget::allocateClosing, this); }

    /// Some allocation was refused because of the memory cap.
    bool memoryLimitHit() const { return _memory_refused; }
    bool timeLimitHit() const { return _time_expired; }
    const JobLimits& limits() const { return _limits; }

private:
    // Without a memory limit there is nothing to count.
    static void* allocate(void* ud, void* ptr, size_t osize, size_t nsize) noexcept;
    static void* allocateCapped(void* ud, void* ptr, size_t osize, size_t nsize) noexcept;
    static void* allocateClosing(void* ud, void* ptr, size_t osize, size_t nsize) noexcept;
    static void checkClock(lua_State* L, lua_Debug* ar);
    // The allocation itself; `old` is the block's size, 0 without a block.
    VEK_HOT_INLINE void* resize(void* ptr, size_t old, size_t nsize) noexcept
    {
        if (nsize == 0) {
            if (ptr)
                _arena.release(ptr, old);
            return nullptr;
        }
        return ptr ? _arena.reallocate(ptr, old, nsize) : _arena.allocate(nsize);
    }

    JobLimits _limits;
    size_t _limit_bytes = 0;
    size_t _used = 0;
    bool _memory_refused = false;
    std::chrono::steady_clock::time_point _deadline{};
    bool _time_expired = false;
    JobArena _arena;
};

} // namespace vek
