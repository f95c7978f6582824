// lua_floor: the bare cost of a Lua job, for instruction counts under callgrind. Each of N rounds
// makes a new state with the default allocator, opens all standard libraries, loads the script
// file, calls it and closes the state: no service, no limits, no logging.
//
//   lua_floor SCRIPT N
//
// Run with N and with 0 (everything but the rounds) to get the cost of one round by difference;
// scripts/bench-instructions.sh does so.

#include <cstdio>
#include <cstdlib>

#include <lua.hpp>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: lua_floor SCRIPT N\n");
        return 2;
    }
    const char* script = argv[1];
    const long rounds = std::strtol(argv[2], nullptr, 10);
    double sum = 0;
    for (long i = 0; i < rounds; ++i) {
        lua_State* L = luaL_newstate();
        if (!L)
            return 1;
        luaL_openlibs(L);
        if (luaL_loadfile(L, script) != LUA_OK || lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK) {
            std::fprintf(stderr, "lua_floor: %s\n", lua_tostring(L, -1));
            lua_close(L);
            return 1;
        }
        sum += lua_tonumber(L, -1);
        lua_close(L);
    }
    // Printed so that nothing of the loop is optimised away.
    std::printf("rounds=%ld sum=%.0f\n", rounds, sum);
    return 0;
}
