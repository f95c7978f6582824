#include "pack_to_lua_converter.h"

#include <cinttypes>
#include <limits>

#include "protected_call.h"

namespace vek {

namespace {

// Stack slots one callback may need above the value being built: a table copy, the protected
// call's function and userdata, and its result.
constexpr int kSlotsPerStep = 5;

// The C functions below run under lua_pcall and may raise; they own nothing.

struct Bytes {
    const char* data;
    size_t size;
};

int pushBytes(lua_State* L) // ud -> ud s
{
    const auto* bytes = static_cast<const Bytes*>(lua_touserdata(L, 1));
    // An empty string may come without a pointer, and Lua copies from it all the same.
    lua_pushlstring(L, bytes->size ? bytes->data : "", bytes->size);
    return 1;
}

int newTable(lua_State* L) // ud -> ud t
{
    lua_createtable(L, 0, 0);
    return 1;
}

int setPair(lua_State* L) // ud t k v -> ud t
{
    lua_settable(L, 2);
    return 0;
}

int setElement(lua_State* L) // ud t v -> ud t
{
    lua_rawseti(L, 2, *static_cast<const int*>(lua_touserdata(L, 1)));
    return 0;
}

} // namespace

PackToLuaConverter::PackToLuaConverter(lua_State* L) : log(log4cpp::Category::getInstance("pack_to_lua")), _L(L) {}

bool PackToLuaConverter::fail(int status, const char* cause)
{
    if (!_failed) {
        _failed = true;
        _failure_status = status;
        _failure = cause;
    }
    return false;
}

bool PackToLuaConverter::reserve()
{
    return lua_checkstack(_L, kSlotsPerStep) ? true : fail(LUA_OK, "Lua stack exhausted");
}

bool PackToLuaConverter::protectedCall(lua_CFunction f, void* ud, int nargs, int nresults)
{
    const int status = callProtected(_L, f, ud, nargs, nresults);
    if (status == LUA_OK)
        return true;
    // Error values of these calls are Lua's own strings; anything else is not converted, as that
    // could raise again.
    const char* text = lua_type(_L, -1) == LUA_TSTRING ? lua_tostring(_L, -1) : "unknown Lua error";
    fail(status, text);
    lua_pop(_L, 1);
    return false;
}

bool PackToLuaConverter::visit_nil()
{
    log.debug("nil");
    if (!reserve())
        return false;
    lua_pushnil(_L);
    return true;
}

bool PackToLuaConverter::visit_boolean(bool v)
{
    log.debug(v ? "bool: <true>" : "bool: <false>");
    if (!reserve())
        return false;
    lua_pushboolean(_L, v);
    return true;
}

bool PackToLuaConverter::visit_positive_integer(uint64_t v)
{
    log.debug("unsigned: %" PRIu64, v);
    if (!reserve())
        return false;
    // lua_Unsigned is 32 bits wide: larger values go in as numbers rather than be truncated
    // (exact up to 2^53).
    if (v <= std::numeric_limits<uint32_t>::max())
        lua_pushunsigned(_L, static_cast<lua_Unsigned>(v));
    else
        lua_pushnumber(_L, static_cast<lua_Number>(v));
    return true;
}

bool PackToLuaConverter::visit_negative_integer(int64_t v)
{
    log.debug("signed: %" PRId64, v);
    if (!reserve())
        return false;
    // Keep to the 32-bit range the service's lua_Integer has on its target; beyond it, numbers.
    if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max())
        lua_pushinteger(_L, static_cast<lua_Integer>(v));
    else
        lua_pushnumber(_L, static_cast<lua_Number>(v));
    return true;
}

bool PackToLuaConverter::visit_float32(float v) { return visit_float64(static_cast<double>(v)); }

bool PackToLuaConverter::visit_float(float v) { return visit_float32(v); }

bool PackToLuaConverter::visit_float64(double v)
{
    if (log.isDebugEnabled())
        log.debugStream() << "float: " << v;
    if (!reserve())
        return false;
    lua_pushnumber(_L, v);
    return true;
}

bool PackToLuaConverter::pushString(const char* v, uint32_t size)
{
    log.debug("string. sz: %" PRIu32, size);
    if (!reserve())
        return false;
    Bytes bytes{v, size};
    return protectedCall(&pushBytes, &bytes, 0, 1);
}

bool PackToLuaConverter::visit_str(const char* v, uint32_t size) { return pushString(v, size); }

bool PackToLuaConverter::visit_bin(const char* v, uint32_t size) { return pushString(v, size); }

bool PackToLuaConverter::visit_ext(const char* v, uint32_t size) { return pushString(v, size); }

bool PackToLuaConverter::start_array(uint32_t num_elements)
{
    log.debug("array start (%" PRIu32 ")", num_elements);
    if (++_depth > max_depth)
        return fail(LUA_OK, "arguments nested deeper than 200 levels");
    if (!reserve())
        return false;
    return protectedCall(&newTable, nullptr, 0, 1);
}

bool PackToLuaConverter::start_array_item() { return true; }

bool PackToLuaConverter::end_array_item()
{
    if (!reserve())
        return false;
    // The next index is the table's length plus one, so a nil element stores nothing and the
    // next element closes the gap.
    lua_len(_L, -2); // t e n
    const lua_Unsigned length = lua_tounsignedx(_L, -1, nullptr);
    lua_settop(_L, -2); // t e
    int index = static_cast<int>(length + 1);
    log.debug("array item %d", index);
    lua_pushvalue(_L, -2);                           // t e t
    lua_insert(_L, -2);                              // t t e
    return protectedCall(&setElement, &index, 2, 0); // t
}

bool PackToLuaConverter::end_array()
{
    log.debug("array end");
    --_depth;
    return true;
}

bool PackToLuaConverter::start_map(uint32_t num_kv_pairs)
{
    log.debug("map start (%" PRIu32 " key value pairs)", num_kv_pairs);
    if (++_depth > max_depth)
        return fail(LUA_OK, "arguments nested deeper than 200 levels");
    if (!reserve())
        return false;
    return protectedCall(&newTable, nullptr, 0, 1);
}

bool PackToLuaConverter::start_map_key() { return true; }

bool PackToLuaConverter::end_map_key() { return true; }

bool PackToLuaConverter::start_map_value() { return true; }

bool PackToLuaConverter::end_map_value()
{
    log.debug("key value pair ready");
    if (!reserve())
        return false;
    // A nil value leaves no entry, a repeated key keeps the last value; a nil or NaN key raises.
    lua_pushvalue(_L, -3);                         // t k v t
    lua_insert(_L, -3);                            // t t k v
    return protectedCall(&setPair, nullptr, 3, 0); // t
}

bool PackToLuaConverter::end_map()
{
    log.debug("map end");
    --_depth;
    return true;
}

void PackToLuaConverter::parse_error(size_t parsed_offset, size_t error_offset)
{
    log.error("parser_error. parsed_offset: %zu error_offset: %zu", parsed_offset, error_offset);
}

void PackToLuaConverter::insufficient_bytes(size_t parsed_offset, size_t error_offset)
{
    log.error("insufficient_bytes. parsed_offset: %zu error_offset: %zu", parsed_offset, error_offset);
}

} // namespace vek
