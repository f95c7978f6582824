#pragma once

#include <cstddef>
#include <cstdint>
#include <log4cpp/Category.hh>
#include <ostream>
#include <string>

/// One upgrade request from the server, as received on "in/key/<serial>/request". Created on the
/// heap by the request handler and owned by whoever holds it last. Logs "created" and "deleted" on
/// the category "ServerRequest".
struct ServerRequest {
    ServerRequest();
    ~ServerRequest();
    // Copies would log a "deleted" without a "created".
    ServerRequest(const ServerRequest&) = delete;
    ServerRequest& operator=(const ServerRequest&) = delete;

    /// Fills doUpgrade and version from the MessagePack payload: one object, which must be an array
    /// [doUpgrade (bool), version (unsigned, at most 32 bits), ...]; missing elements leave the
    /// fields as they are, further elements and trailing bytes are ignored. Throws msgpack's
    /// exceptions (all derived from std::exception) when the payload does not fit; what it
    /// allocates is bounded by a small multiple of length.
    void decode(const void* payload, std::size_t length);

    /// The key serial named by a request topic level: hexadecimal as strtoul reads it (any case,
    /// optional "0x", fewer than eight digits). Text that is not hexadecimal, and numbers that do
    /// not fit 32 bits, give 0, so no request can alias another key's serial.
    static uint32_t parseSerial(const std::string& level);

    bool doUpgrade = false;
    uint32_t version = 0;
    uint32_t serial = 0;
};

/// "Request for key: XXXXXXXX Upgrade to version: XXXXXXXX" (or "Leave at" when not upgrading).
std::ostream& operator<<(std::ostream& out, const ServerRequest& request);
