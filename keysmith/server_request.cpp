#include "server_request.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <msgpack.hpp>

#include "common/packed_object_check.h"

namespace {

log4cpp::Category& requestLog() { return log4cpp::Category::getInstance("ServerRequest"); }

} // namespace

ServerRequest::ServerRequest() { requestLog().debug("created"); }

ServerRequest::~ServerRequest() { requestLog().debug("deleted"); }

void ServerRequest::decode(const void* payload, std::size_t length)
{
    // The payload comes from the network: the unpacker reserves room for every element a header
    // declares, so the first object is walked first, and only an object whose every declared
    // element is present (and whose nesting is bounded) reaches it.
    const char* data = static_cast<const char*>(payload);
    vek::check_packed_object(data, length);
    std::size_t offset = 0; // with an offset the parser stops after the first object
    const msgpack::object_handle handle = msgpack::unpack(data, length, offset);
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
