#pragma once

#include <cstdint>
#include <msgpack.hpp>

namespace keysmith {

// The records the daemon publishes to the server. Each packs as a MessagePack array in member
// order; msgpack-c writes unsigned integers in their smallest encoding.

/// On "out/key/<serial>/notification": a key is connected and runs this version.
struct Notification {
    uint32_t version = 0;
    MSGPACK_DEFINE(version);
};

/// On "out/key/<serial>/result": the outcome of an upgrade and the version concerned.
struct Result {
    bool success = false;
    uint32_t version = 0;
    MSGPACK_DEFINE(success, version);
};

} // namespace keysmith
