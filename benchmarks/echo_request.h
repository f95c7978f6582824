#pragma once

#include <string>

#include <msgpack.hpp>

/// The command request the benchmarks send: {"lua_script": script, "args": {"msg": msg}}, which
/// the echo job answers with msg.
inline std::string echoRequest(const std::string& script, const std::string& msg)
{
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> pk(buffer);
    pk.pack_map(2);
    pk.pack(std::string("lua_script"));
    pk.pack(script);
    pk.pack(std::string("args"));
    pk.pack_map(1);
    pk.pack(std::string("msg"));
    pk.pack(msg);
    return std::string(buffer.data(), buffer.size());
}
