#pragma once

#include <lua.hpp>

namespace vek {

/// Calls the C function f under lua_pcall with the light userdata ud as its first argument,
/// followed by the nargs values on top of the stack (which the call consumes).
/// This is how the job runner makes any Lua call that can raise: the error stays inside the
/// protected call, so it never longjmps over a C++ frame that owns something.
/// f itself must own nothing either. Needs three free stack slots; returns lua_pcall's status,
/// with the error value on top when it is not LUA_OK.
inline int callProtected(lua_State* L, lua_CFunction f, void* ud, int nargs, int nresults)
{
    lua_pushcfunction(L, f);      // args f
    lua_insert(L, -(nargs + 1));  // f args
    lua_pushlightuserdata(L, ud); // f args ud
    lua_insert(L, -(nargs + 1));  // f ud args
    return lua_pcall(L, nargs + 1, nresults, 0);
}

} // namespace vek
