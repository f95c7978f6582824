#pragma once

#include <lua.hpp>

namespace vek {

/// Keeps a job from switching its time limit off. The limit is the count hook of JobBudget, so
/// under a limit:
/// - debug.sethook refuses, on every thread: removing or replacing the hook would end the limit,
///   and a coroutine keeps the hook it inherits from the thread that created it;
/// - setmetatable and debug.setmetatable refuse a metatable with a __gc field: Lua runs
///   finalizers with hooks off, also when the state is closed after the job.
/// Everything else they do is unchanged. The limit bounds the job's Lua code; a C function that
/// blocks or runs long (os.execute, a long pattern match) is outside any hook.
///
/// A lua_CFunction for callProtected (its light userdata is not used); it may raise.
int protectTimeLimit(lua_State* L);

} // namespace vek
