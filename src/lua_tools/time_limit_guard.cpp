#include "time_limit_guard.h"

namespace vek {

namespace {

// The C functions below run inside the Lua VM and may raise; they own nothing.

int refuseSethook(lua_State* L) { return luaL_error(L, "debug.sethook is not available under a job time limit"); }

// Lua marks an object for finalization when its metatable has the field at the time it is set,
// read without metamethods.
bool holdsFinalizer(lua_State* L, int metatable)
{
    if (lua_type(L, metatable) != LUA_TTABLE)
        return false;
    lua_pushliteral(L, "__gc"); // ... "__gc"
    lua_rawget(L, metatable);   // ... gc
    const bool present = !lua_isnil(L, -1);
    lua_pop(L, 1); // ...
    return present;
}

int refuseFinalizer(lua_State* L) { return luaL_error(L, "__gc metamethods are not available under a job time limit"); }

// The base library's setmetatable, less finalizers.
int setMetatable(lua_State* L) // t mt
{
    const int type = lua_type(L, 2);
    luaL_checktype(L, 1, LUA_TTABLE);
    luaL_argcheck(L, type == LUA_TNIL || type == LUA_TTABLE, 2, "nil or table expected");
    if (luaL_getmetafield(L, 1, "__metatable"))
        return luaL_error(L, "cannot change a protected metatable");
    if (holdsFinalizer(L, 2))
        return refuseFinalizer(L);
    lua_settop(L, 2);
    lua_setmetatable(L, 1); // t
    return 1;
}

// The debug library's setmetatable, less finalizers.
int debugSetMetatable(lua_State* L) // v mt
{
    const int type = lua_type(L, 2);
    luaL_argcheck(L, type == LUA_TNIL || type == LUA_TTABLE, 2, "nil or table expected");
    if (holdsFinalizer(L, 2))
        return refuseFinalizer(L);
    lua_settop(L, 2);
    lua_setmetatable(L, 1); // v
    return 1;
}

} // namespace

int protectTimeLimit(lua_State* L) // ud
{
    // The replacements hold no upvalue: the originals must stay out of the script's reach.
    lua_pushcfunction(L, &setMetatable); // ud f
    lua_setglobal(L, "setmetatable");    // ud
    // The library table itself, which the global debug and require("debug") both give.
    luaL_getsubtable(L, LUA_REGISTRYINDEX, "_LOADED"); // ud loaded
    lua_getfield(L, -1, LUA_DBLIBNAME);                // ud loaded debug
    if (lua_type(L, -1) == LUA_TTABLE) {
        lua_pushcfunction(L, &refuseSethook); // ud loaded debug f
        lua_setfield(L, -2, "sethook");       // ud loaded debug
        lua_pushcfunction(L, &debugSetMetatable);
        lua_setfield(L, -2, "setmetatable"); // ud loaded debug
    }
    lua_pop(L, 2); // ud
    return 0;
}

} // namespace vek
