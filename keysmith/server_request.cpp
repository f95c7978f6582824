#include "server_request.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <msgpack.hpp>

namespace {

log4cpp::Category& requestLog() { return log4cpp::Category::getInstance("ServerRequest"); }

} // namespace

ServerRequest::ServerRequest() { requestLog().debug("created"); }

ServerRequest::~ServerRequest() { requestLog().debug("deleted"); }

void ServerRequest::decode(const void* payload, std::size_t length)
{
    // The payload comes from the network: no container or string in it can be longer than the
    // payload itself, so a forged size header is refused before the parser allocates for it.
    const std::size_t bound = length > 0xFFFFFFFFu ? 0xFFFFFFFFu : length;
    const msgpack::unpack_limit limit(bound, bound, bound, bound, bound);
    std::size_t offset = 0; // with an offset the parser stops after the first object
    const msgpack::object_handle handle =
        msgpack::unpack(static_cast<const char*>(payload), length, offset, nullptr, nullptr, limit);
    const msgpack::object& object = handle.get();
    if (object.type != msgpack::type::ARRAY)
        throw msgpack::type_error();
    const msgpack::object_array& elements = object.via.array;
    // Convert both before assigning, so a bad second element leaves the request untouched.
    const bool upgrade = elements.size >= 1 ? elements.ptr[0].as<bool>() : doUpgrade;
    const uint32_t wanted = elements.size >= 2 ? elements.ptr[1].as<uint32_t>() : version;
    doUpgrade = upgrade;
    version = wanted;
}

uint32_t ServerRequest::parseSerial(const std::string& level)
{
    // strtoul also takes a leading minus sign and wraps the value round; that and anything beyond
    // 32 bits would otherwise be cut down to some other key's serial.
    const std::size_t first = level.find_first_not_of(" \t\n\v\f\r");
    if (first != std::string::npos && level[first] == '-')
        return 0;
    errno = 0;
    const unsigned long value = std::strtoul(level.c_str(), nullptr, 16);
    if (errno == ERANGE || value > 0xFFFFFFFFul)
        return 0;
    return static_cast<uint32_t>(value);
}

std::ostream& operator<<(std::ostream& out, const ServerRequest& request)
{
    char text[80];
    std::snprintf(text, sizeof text, "Request for key: %08X%s version: %08X", request.serial,
                  request.doUpgrade ? " Upgrade to" : " Leave at", request.version);
    return out << text;
}
