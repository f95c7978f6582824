#include <lua.h>

static int answer(lua_State* L)
{
    lua_pushinteger(L, 35);
    return 1;
}

int luaopen_vektestmod(lua_State* L)
{
    lua_createtable(L, 0, 1);
    lua_pushcfunction(L, answer);
    lua_setfield(L, -2, "answer");
    return 1;
}
