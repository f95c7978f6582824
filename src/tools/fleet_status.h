#pragma once
// vek-request --status: the retained records of the docks' daemons and keys, read back into one
// picture per dock and printed as a table or as JSON.

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "request_exchange.h"
#include "request_options.h"

namespace vek::request {

/// What a daemon's retained status record says.
struct DaemonState {
    std::string state = "unreadable"; ///< "online", "offline" or "unreadable"
    std::string version;
    std::optional<uint64_t> started; ///< seconds since the epoch
    std::optional<uint64_t> stopped; ///< only after a clean stop
    nlohmann::json limits = nlohmann::json::object();
};

/// What the retained records of one key say.
struct KeyState {
    std::optional<uint32_t> version;                 ///< from its notification
    std::optional<std::pair<bool, uint32_t>> result; ///< success and version of the last result
    std::optional<nlohmann::json> progress;          ///< the last progress record, decoded
    bool unreadable = false;                         ///< a record of it did not decode
};

struct DockState {
    std::string label;
    std::string prefix;
    std::optional<bool> bridge_up;              ///< the bridge's notification, when the dock is seen through one
    std::map<std::string, DaemonState> daemons; ///< by name, those with a record
    std::map<std::string, KeyState> keys;       ///< by serial as written in the topic
};

/// The subscriptions that cover the targets' records (every dock under "docks/" with all).
std::vector<std::string> statusFilters(const std::vector<Target>& targets, bool all);
/// The topic the end marker of the look goes to.
std::string statusMarker(const std::vector<Target>& targets, bool all);

/// Sorts the retained messages into docks: the targets in the order given, or with all every dock
/// found under "docks/", by id. A record that does not decode is shown as unreadable.
std::vector<DockState> buildStatus(const std::vector<Retained>& retained, const std::vector<Target>& targets, bool all);

/// The table: one line per daemon that has a record (one line "no records" for a dock without
/// any), then one per key.
void printTable(const std::vector<DockState>& docks, std::ostream& out);
nlohmann::json toJson(const std::vector<DockState>& docks);
/// Every daemon with a record online, every dock with a record, and no bridge down.
bool allOnline(const std::vector<DockState>& docks);

/// "1.2.3" for a packed version.
std::string versionText(uint32_t version);
/// UTC, "2024-05-01T12:00:03Z".
std::string timeText(uint64_t seconds);

} // namespace vek::request
