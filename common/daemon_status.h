#pragma once
// The retained record by which a daemon tells whether it is up, on "out/status/<daemon>". Both
// daemons publish it "online" when a connection is accepted, leave it "offline" as their MQTT
// last will, and publish "offline" with the time of a clean stop themselves.

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace vek {

/// Topics of the two daemons' records.
constexpr const char* kCommandStatusTopic = "out/status/vek-command";
constexpr const char* kKeysmithStatusTopic = "out/status/keysmith";

/// A daemon's state as its record carries it. Packed as a MessagePack map with str keys:
///   "state"   str  "online" or "offline"
///   "version" str  the daemon's release, "0.0.10"
///   "started" uint seconds since the epoch when the process started
///   "stopped" uint seconds since the epoch of a clean stop; only in the record of a clean stop
///   "limits"  map  str -> uint: the configured limits an operator may want to know (0: none)
struct DaemonStatus {
    std::string version;
    uint64_t started = 0;
    std::vector<std::pair<std::string, uint64_t>> limits;

    /// The record of a running daemon.
    std::string online() const;
    /// The record the broker publishes when the daemon's connection breaks (its last will).
    std::string lost() const;
    /// The record of a clean stop at the given time.
    std::string stopped(uint64_t when) const;
};

/// Now, in seconds since the epoch.
inline uint64_t secondsNow() { return static_cast<uint64_t>(std::time(nullptr)); }

} // namespace vek
