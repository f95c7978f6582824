#include "daemon_status.h"

#include <msgpack.hpp>

namespace vek {

namespace {

std::string pack(const DaemonStatus& status, const char* state, uint64_t stopped)
{
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack_map(stopped ? 5 : 4);
    packer.pack("state");
    packer.pack(state);
    packer.pack("version");
    packer.pack(status.version);
    packer.pack("started");
    packer.pack(status.started);
    if (stopped) {
        packer.pack("stopped");
        packer.pack(stopped);
    }
    packer.pack("limits");
    packer.pack_map(static_cast<uint32_t>(status.limits.size()));
    for (const auto& [name, value] : status.limits) {
        packer.pack(name);
        packer.pack(value);
    }
    return std::string(buffer.data(), buffer.size());
}

} // namespace

std::string DaemonStatus::online() const { return pack(*this, "online", 0); }

std::string DaemonStatus::lost() const { return pack(*this, "offline", 0); }

std::string DaemonStatus::stopped(uint64_t when) const { return pack(*this, "offline", when ? when : 1); }

} // namespace vek
