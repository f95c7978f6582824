// The MessagePack-to-Lua converter driven by msgpack's parser over arbitrary bytes. It must never
// let a Lua error unwind the parser, never leave the stack below where it started, and, when the
// bytes hold a complete object it accepts, leave exactly one Lua value that is that object under
// the conversion rules: nil array elements close up, a map keeps the last value of each key and
// drops nil values, integers and floats become the same numbers, str, bin and ext become strings.

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <lua.hpp>
#include <msgpack.hpp>

#include "fuzz_support.h"
#include "src/lua_tools/pack_to_lua_converter.h"

namespace {

using fuzz::check;

// A scalar Lua table key: keys that Lua finds equal compare equal here.
struct Key {
    int type; // LUA_TBOOLEAN, LUA_TNUMBER or LUA_TSTRING
    double number;
    std::string text;
    bool operator<(const Key& o) const { return std::tie(type, number, text) < std::tie(o.type, o.number, o.text); }
};

// The Lua value a scalar object becomes, as a key; false for nil and for arrays and maps.
bool keyOf(const msgpack::object& o, Key& key)
{
    switch (o.type) {
    case msgpack::type::BOOLEAN: key = {LUA_TBOOLEAN, o.via.boolean ? 1.0 : 0.0, {}}; return true;
    case msgpack::type::POSITIVE_INTEGER: key = {LUA_TNUMBER, static_cast<double>(o.via.u64), {}}; return true;
    case msgpack::type::NEGATIVE_INTEGER: key = {LUA_TNUMBER, static_cast<double>(o.via.i64), {}}; return true;
    case msgpack::type::FLOAT32:
    case msgpack::type::FLOAT64:
        key = {LUA_TNUMBER, o.via.f64 == 0 ? 0.0 : o.via.f64, {}}; // -0 and 0 are one key
        return true;
    case msgpack::type::STR: key = {LUA_TSTRING, 0, std::string(o.via.str.ptr, o.via.str.size)}; return true;
    case msgpack::type::BIN: key = {LUA_TSTRING, 0, std::string(o.via.bin.ptr, o.via.bin.size)}; return true;
    case msgpack::type::EXT:
        key = {LUA_TSTRING, 0, std::string(o.via.ext.ptr, o.via.ext.size + 1)}; // type byte first
        return true;
    default: return false;
    }
}

void pushKey(lua_State* L, const Key& key)
{
    if (key.type == LUA_TBOOLEAN)
        lua_pushboolean(L, key.number != 0);
    else if (key.type == LUA_TNUMBER)
        lua_pushnumber(L, key.number);
    else
        lua_pushlstring(L, key.text.data(), key.text.size());
}

int countEntries(lua_State* L, int table)
{
    int n = 0;
    lua_pushnil(L);
    while (lua_next(L, table)) {
        lua_pop(L, 1);
        ++n;
    }
    return n;
}

void expectSame(lua_State* L, int index, const msgpack::object& o, const std::string& where);

void expectNumber(lua_State* L, int index, double expected, const std::string& where)
{
    check(lua_type(L, index) == LUA_TNUMBER, where + ": not a number");
    const double got = lua_tonumber(L, index);
    check(std::isnan(expected) ? std::isnan(got) : got == expected,
          where + ": number " + std::to_string(got) + " for " + std::to_string(expected));
}

void expectString(lua_State* L, int index, const char* data, size_t size, const std::string& where)
{
    check(lua_type(L, index) == LUA_TSTRING, where + ": not a string");
    size_t length = 0;
    const char* got = lua_tolstring(L, index, &length);
    check(std::string(got, length) == std::string(data, size), where + ": other bytes");
}

void expectArray(lua_State* L, int index, const msgpack::object_array& a, const std::string& where)
{
    check(lua_type(L, index) == LUA_TTABLE, where + ": array is not a table");
    int n = 0;
    for (uint32_t i = 0; i < a.size; ++i) {
        if (a.ptr[i].type == msgpack::type::NIL)
            continue;
        ++n;
        lua_rawgeti(L, index, n);
        expectSame(L, lua_gettop(L), a.ptr[i], where + "[" + std::to_string(n) + "]");
        lua_pop(L, 1);
    }
    check(countEntries(L, index) == n, where + ": array has other entries than its elements");
}

void expectMap(lua_State* L, int index, const msgpack::object_map& m, const std::string& where)
{
    check(lua_type(L, index) == LUA_TTABLE, where + ": map is not a table");
    // Last pair of each scalar key; table keys (from array and map keys) are each their own.
    std::map<Key, const msgpack::object*> last;
    int tableKeys = 0;
    for (uint32_t i = 0; i < m.size; ++i) {
        Key key;
        if (keyOf(m.ptr[i].key, key))
            last[key] = &m.ptr[i].val;
        else if (m.ptr[i].val.type != msgpack::type::NIL)
            ++tableKeys;
    }
    int entries = tableKeys;
    for (const auto& [key, value] : last) {
        pushKey(L, key);
        lua_rawget(L, index);
        if (value->type == msgpack::type::NIL) {
            check(lua_isnil(L, -1), where + ": a key whose last value is nil is present");
        } else {
            ++entries;
            expectSame(L, lua_gettop(L), *value, where + "." + (key.type == LUA_TSTRING ? key.text : "?"));
        }
        lua_pop(L, 1);
    }
    check(countEntries(L, index) == entries,
          where + ": map has " + std::to_string(countEntries(L, index)) + " entries, expected " +
              std::to_string(entries));
}

void expectSame(lua_State* L, int index, const msgpack::object& o, const std::string& where)
{
    check(lua_checkstack(L, 8), "Lua stack");
    switch (o.type) {
    case msgpack::type::NIL: check(lua_isnil(L, index), where + ": not nil"); break;
    case msgpack::type::BOOLEAN:
        check(lua_type(L, index) == LUA_TBOOLEAN && lua_toboolean(L, index) == o.via.boolean, where + ": boolean");
        break;
    case msgpack::type::POSITIVE_INTEGER: expectNumber(L, index, static_cast<double>(o.via.u64), where); break;
    case msgpack::type::NEGATIVE_INTEGER: expectNumber(L, index, static_cast<double>(o.via.i64), where); break;
    case msgpack::type::FLOAT32:
    case msgpack::type::FLOAT64: expectNumber(L, index, o.via.f64, where); break;
    case msgpack::type::STR: expectString(L, index, o.via.str.ptr, o.via.str.size, where); break;
    case msgpack::type::BIN: expectString(L, index, o.via.bin.ptr, o.via.bin.size, where); break;
    case msgpack::type::EXT: expectString(L, index, o.via.ext.ptr, o.via.ext.size + 1, where); break;
    case msgpack::type::ARRAY: expectArray(L, index, o.via.array, where); break;
    case msgpack::type::MAP: expectMap(L, index, o.via.map, where); break;
    }
}

bool referToPayload(msgpack::type::object_type, std::size_t, void*) { return true; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::setInput(data, size);
    fuzz::LogSink::instance().clear();
    const char* bytes = reinterpret_cast<const char*>(data);

    lua_State* L = luaL_newstate();
    check(L != nullptr, "no Lua state");
    lua_pushliteral(L, "below");
    const int base = lua_gettop(L);

    vek::PackToLuaConverter converter(L);
    size_t offset = 0;
    bool parsed = false;
    {
        // The converter sizes nothing by the counts it is told: Lua's own growth is all.
        fuzz::HeapBound bound(256 * size + 1024 * 1024, "conversion");
        parsed = msgpack::parse(bytes, size, offset, converter);
    }
    check(lua_gettop(L) >= base, "the conversion popped what it did not push");
    lua_pushvalue(L, base);
    check(lua_type(L, -1) == LUA_TSTRING && std::string(lua_tostring(L, -1)) == "below",
          "the conversion changed the stack under it");
    lua_pop(L, 1);

    if (parsed && !converter.failed()) {
        check(lua_gettop(L) == base + 1, "a converted object left " + std::to_string(lua_gettop(L) - base) + " values");
        // The bytes parsed: every declared element is there, so the object tree stays a small
        // multiple of them.
        const size_t cap = size > 0xffffffff ? 0xffffffff : size;
        msgpack::zone zone;
        size_t unpacked = 0;
        const msgpack::object object = msgpack::unpack(zone, bytes, size, unpacked, &referToPayload, nullptr,
                                                       msgpack::unpack_limit(cap, cap, cap, cap, cap, 1000));
        check(unpacked == offset, "parse and unpack took different lengths");
        expectSame(L, base + 1, object, "args");
    }
    lua_close(L);
    return 0;
}
