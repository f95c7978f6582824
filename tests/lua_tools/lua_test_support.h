#pragma once

#include <functional>
#include <string>

#include <msgpack.hpp>

#include "src/lua_tools/job_result.h"

namespace luatest {

/// Lua source of the global dump(v): a deterministic text for any value, table keys sorted.
inline const std::string kDumpLua = R"(
function dump(v)
  local t = type(v)
  if t == "string" then return string.format("%q", v) end
  if t == "number" then return string.format("%.17g", v) end
  if t ~= "table" then return tostring(v) end
  local keys = {}
  for k in pairs(v) do keys[#keys + 1] = k end
  table.sort(keys, function(a, b)
    if type(a) ~= type(b) then return type(a) < type(b) end
    if type(a) == "number" or type(a) == "string" then return a < b end
    return tostring(a) < tostring(b)
  end)
  local out = {}
  for _, k in ipairs(keys) do out[#out + 1] = dump(k) .. "=" .. dump(v[k]) end
  return "{" .. table.concat(out, ",") .. "}"
end
)";

using Packer = msgpack::packer<msgpack::sbuffer>;

/// MessagePack bytes written by build.
inline std::string pack(const std::function<void(Packer&)>& build)
{
    msgpack::sbuffer buf;
    Packer packer(buf);
    build(packer);
    return std::string(buf.data(), buf.size());
}

/// depth arrays, one inside the other, around the number 1.
inline std::string nestedArrays(unsigned depth)
{
    return pack([depth](Packer& p) {
        for (unsigned i = 0; i < depth; ++i)
            p.pack_array(1);
        p.pack(1);
    });
}

/// A job's answer bytes as a string.
inline std::string answerOf(vek::JobResult result)
{
    return std::string(result.getAnswer().begin(), result.getAnswer().end());
}

} // namespace luatest
