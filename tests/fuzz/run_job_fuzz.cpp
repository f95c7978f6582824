// A whole job through LuaAgent::runJob with the fuzzed bytes as its arguments, decoded as the
// command service decodes a request (pre-check, then unpack). The job script walks every value
// it was given. Arguments Lua cannot hold (a nil or NaN map key anywhere, nesting deeper than the
// converter takes) must fail the job with the fixed reason; every other value must reach the
// script, whatever its numbers, strings or shape.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include <msgpack.hpp>

#include "common/packed_object_check.h"
#include "fuzz_support.h"
#include "tests/support/temp_dir.h"
#include "src/lua_tools/lua_agent.h"
#include "src/lua_tools/pack_to_lua_converter.h"

namespace {

using fuzz::check;

const char* const kInvalidArgs = "Dock command service error. Invalid job arguments.";

struct Runner {
    testsupport::TempDir dir;
    std::unique_ptr<vek::LuaAgent> agent;

    Runner()
    {
        dir.write("walk.lua", fuzz::kWalkArgsScript);
        agent = std::make_unique<vek::LuaAgent>(std::vector<std::string>{dir.path()}, dir.path().c_str());
    }
};

Runner& runner()
{
    static Runner r;
    return r;
}

// Deepest nesting of arrays and maps, counting keys as well as values.
unsigned depthOf(const msgpack::object& o)
{
    unsigned deepest = 0;
    if (o.type == msgpack::type::ARRAY) {
        for (uint32_t i = 0; i < o.via.array.size; ++i)
            deepest = std::max(deepest, depthOf(o.via.array.ptr[i]));
        return deepest + 1;
    }
    if (o.type == msgpack::type::MAP) {
        for (uint32_t i = 0; i < o.via.map.size; ++i)
            deepest = std::max({deepest, depthOf(o.via.map.ptr[i].key), depthOf(o.via.map.ptr[i].val)});
        return deepest + 1;
    }
    return 0;
}

// A map somewhere holds a key that no Lua table takes.
bool hasUnusableKey(const msgpack::object& o)
{
    if (o.type == msgpack::type::ARRAY) {
        for (uint32_t i = 0; i < o.via.array.size; ++i)
            if (hasUnusableKey(o.via.array.ptr[i]))
                return true;
    } else if (o.type == msgpack::type::MAP) {
        for (uint32_t i = 0; i < o.via.map.size; ++i) {
            const msgpack::object& key = o.via.map.ptr[i].key;
            const bool isFloat = key.type == msgpack::type::FLOAT32 || key.type == msgpack::type::FLOAT64;
            if (key.type == msgpack::type::NIL || (isFloat && std::isnan(key.via.f64)) || hasUnusableKey(key) ||
                hasUnusableKey(o.via.map.ptr[i].val))
                return true;
        }
    }
    return false;
}

const char* luaTypeOf(const msgpack::object& o)
{
    switch (o.type) {
    case msgpack::type::NIL: return "nil";
    case msgpack::type::BOOLEAN: return "boolean";
    case msgpack::type::POSITIVE_INTEGER:
    case msgpack::type::NEGATIVE_INTEGER:
    case msgpack::type::FLOAT32:
    case msgpack::type::FLOAT64: return "number";
    case msgpack::type::ARRAY:
    case msgpack::type::MAP: return "table";
    default: return "string";
    }
}

bool referToPayload(msgpack::type::object_type, std::size_t, void*) { return true; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::setInput(data, size);
    fuzz::LogSink::instance().clear();
    Runner& r = runner();
    const char* bytes = reinterpret_cast<const char*>(data);

    msgpack::zone zone;
    msgpack::object args;
    try {
        vek::check_packed_object(bytes, size); // as the service calls it
        args = msgpack::unpack(zone, bytes, size, &referToPayload);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        return 0; // the service answers these before any job runs
    }

    // Half of the jobs take a state prepared ahead, as the service does while it waits.
    if (size % 2 == 0)
        r.agent->prepareNextJob();
    vek::JobResult result = r.agent->runJob("walk.lua", args);

    const std::string answer(result.getAnswer().begin(), result.getAnswer().end());
    if (hasUnusableKey(args) || depthOf(args) > vek::PackToLuaConverter::max_depth) {
        check(!result.getStatus() && std::string(result.getReason()) == kInvalidArgs,
              std::string("arguments Lua cannot hold gave ") + (result.getStatus() ? "success" : "failure: ") +
                  result.getReason());
    } else {
        check(result.getStatus(), std::string("the job failed: ") + result.getReason());
        const std::string type = luaTypeOf(args);
        check(answer.compare(0, type.size() + 1, type + " ") == 0,
              "the script saw args as " + answer + ", expected a " + type);
    }
    return 0;
}
