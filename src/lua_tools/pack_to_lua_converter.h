#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <log4cpp/Category.hh>
#include <lua.hpp>

namespace vek {

/// Visitor for msgpack-c's parse that builds the Lua value of one MessagePack value on top of a
/// Lua stack. Nesting lives on the Lua stack itself: an open array or map is the table just
/// under the element (or key and value) being built.
///
/// The parser's frames are C++ frames that own memory, so no Lua error may unwind through them:
/// every Lua call here that can raise (allocation, a nil or NaN table key) runs under its own
/// lua_pcall. The first such error, or nesting deeper than max_depth, stops the parse and is
/// reported by failed()/failure(); the values built so far are left on the stack for the caller
/// to drop.
class PackToLuaConverter {
public:
    /// Deepest nesting of arrays and maps accepted.
    static constexpr unsigned max_depth = 200;

    explicit PackToLuaConverter(lua_State* L);

    bool visit_nil();
    bool visit_boolean(bool v);
    bool visit_positive_integer(uint64_t v);
    bool visit_negative_integer(int64_t v);
    bool visit_float32(float v);
    bool visit_float(float v);
    bool visit_float64(double v);
    bool visit_str(const char* v, uint32_t size);
    bool visit_bin(const char* v, uint32_t size);
    bool visit_ext(const char* v, uint32_t size);
    bool start_array(uint32_t num_elements);
    bool start_array_item();
    bool end_array_item();
    bool end_array();
    bool start_map(uint32_t num_kv_pairs);
    bool start_map_key();
    bool end_map_key();
    bool start_map_value();
    bool end_map_value();
    bool end_map();
    void parse_error(size_t parsed_offset, size_t error_offset);
    void insufficient_bytes(size_t parsed_offset, size_t error_offset);

    /// The conversion was stopped by a Lua error or by the depth limit.
    bool failed() const { return _failed; }
    /// Why: the Lua error text or the depth-limit text.
    const std::string& failure() const { return _failure; }
    /// lua_pcall status of the failing call (LUA_ERRMEM for memory), LUA_OK for the depth limit.
    int failureStatus() const { return _failure_status; }

private:
    bool reserve();
    bool pushString(const char* v, uint32_t size);
    bool protectedCall(lua_CFunction f, void* ud, int nargs, int nresults);
    bool fail(int status, const char* cause);

    log4cpp::Category& log;
    lua_State* _L;
    unsigned _depth = 0;
    bool _failed = false;
    int _failure_status = 0;
    std::string _failure;
};

} // namespace vek
