#include "fleet_status.h"

#include <ctime>
#include <iomanip>
#include <sstream>

namespace vek::request {

namespace {

constexpr const char* kStatusTopic = "out/status/";
constexpr const char* kKeyTopic = "out/key/";
constexpr const char* kBridgeTopic = "bridge/state";
// The bridge's second connection, which carries what the dock sends.
constexpr const char* kBridgeOutTopic = "bridge/state-out";

bool startsWith(const std::string& text, const std::string& head) { return text.compare(0, head.size(), head) == 0; }

std::optional<uint64_t> unsignedField(const nlohmann::json& map, const char* name)
{
    const auto it = map.find(name);
    if (it == map.end() || !it->is_number_unsigned())
        return std::nullopt;
    return it->get<uint64_t>();
}

DaemonState decodeDaemon(const std::string& payload)
{
    DaemonState daemon;
    try {
        const nlohmann::json map = nlohmann::json::from_msgpack(payload);
        const auto state = map.find("state");
        if (!map.is_object() || state == map.end() || !state->is_string()) {
            daemon.state = "unreadable";
            return daemon;
        }
        daemon.state = state->get<std::string>();
        if (const auto version = map.find("version"); version != map.end() && version->is_string())
            daemon.version = version->get<std::string>();
        daemon.started = unsignedField(map, "started");
        daemon.stopped = unsignedField(map, "stopped");
        if (const auto limits = map.find("limits"); limits != map.end() && limits->is_object())
            daemon.limits = *limits;
    } catch (const nlohmann::json::exception&) {
        daemon = DaemonState{};
        daemon.state = "unreadable";
    }
    return daemon;
}

// A key record under out/key/<serial>/; false when it does not decode.
bool decodeKeyRecord(KeyState& key, const std::string& leaf, const std::string& payload)
{
    try {
        const nlohmann::json record = nlohmann::json::from_msgpack(payload);
        if (leaf == "notification") {
            if (!record.is_array() || record.empty() || !record[0].is_number_unsigned())
                return false;
            key.version = record[0].get<uint32_t>();
        } else if (leaf == "result") {
            if (!record.is_array() || record.size() < 2 || !record[0].is_boolean() || !record[1].is_number_unsigned())
                return false;
            key.result = std::make_pair(record[0].get<bool>(), record[1].get<uint32_t>());
        } else if (leaf == "progress") {
            if (!record.is_object() || !record.contains("phase") || !record["phase"].is_string())
                return false;
            key.progress = record;
        }
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

// The record's topic below its dock's prefix into the dock's picture.
void place(DockState& dock, const std::string& rest, const std::string& payload)
{
    if (rest == kBridgeTopic || rest == kBridgeOutTopic) {
        // Up only while every connection that reports is up.
        dock.bridge_up = payload == "1" && dock.bridge_up.value_or(true);
    } else if (startsWith(rest, kStatusTopic)) {
        const std::string daemon = rest.substr(std::char_traits<char>::length(kStatusTopic));
        if (daemon.find('/') == std::string::npos)
            dock.daemons[daemon] = decodeDaemon(payload);
    } else if (startsWith(rest, kKeyTopic)) {
        const std::string tail = rest.substr(std::char_traits<char>::length(kKeyTopic));
        const auto slash = tail.find('/');
        if (slash == std::string::npos || slash == 0)
            return;
        const std::string leaf = tail.substr(slash + 1);
        if (leaf != "notification" && leaf != "result" && leaf != "progress")
            return;
        KeyState& key = dock.keys[tail.substr(0, slash)];
        if (!decodeKeyRecord(key, leaf, payload))
            key.unreadable = true;
    }
}

DockState newDock(std::string label, std::string prefix)
{
    DockState dock;
    dock.label = std::move(label);
    dock.prefix = std::move(prefix);
    return dock;
}

std::string sinceText(const DaemonState& daemon)
{
    if (daemon.state == "online" && daemon.started)
        return timeText(*daemon.started);
    if (daemon.state == "offline" && daemon.stopped)
        return timeText(*daemon.stopped);
    return "-";
}

std::string bridgeText(const DockState& dock)
{
    if (!dock.bridge_up)
        return "-";
    return *dock.bridge_up ? "up" : "down";
}

std::string resultText(const KeyState& key)
{
    if (!key.result)
        return "-";
    return std::string(key.result->first ? "ok " : "failed ") + versionText(key.result->second);
}

std::string progressText(const KeyState& key)
{
    if (!key.progress)
        return key.unreadable ? "unreadable" : "-";
    const nlohmann::json& p = *key.progress;
    std::string text = p["phase"].get<std::string>();
    if (const auto percent = unsignedField(p, "percent"); percent && text == "transferring")
        text += " " + std::to_string(*percent) + " %";
    const auto from = unsignedField(p, "from");
    const auto to = unsignedField(p, "to");
    if (from && to && *to != 0)
        text += " " + versionText(static_cast<uint32_t>(*from)) + " -> " + versionText(static_cast<uint32_t>(*to));
    if (const auto reason = p.find("reason"); reason != p.end() && reason->is_string()) {
        text += ": " + reason->get<std::string>();
        if (const auto detail = p.find("detail"); detail != p.end() && detail->is_string())
            text += " (" + oneLine(detail->get<std::string>()) + ")";
    }
    return text;
}

// Columns padded to their widest cell, two blanks apart; the last one is not padded.
void printColumns(const std::vector<std::vector<std::string>>& rows, std::ostream& out)
{
    std::vector<size_t> width;
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) {
            if (width.size() <= i)
                width.push_back(0);
            width[i] = std::max(width[i], row[i].size());
        }
    for (const auto& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            out << row[i];
            if (i + 1 < row.size())
                out << std::string(width[i] - row[i].size() + 2, ' ');
        }
        out << "\n";
    }
}

} // namespace

std::string versionText(uint32_t version)
{
    return std::to_string(version >> 16) + "." + std::to_string((version >> 8) & 0xFF) + "." +
        std::to_string(version & 0xFF);
}

std::string timeText(uint64_t seconds)
{
    const time_t t = static_cast<time_t>(seconds);
    std::tm utc{};
    if (!gmtime_r(&t, &utc))
        return "-";
    char text[32];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
        return "-";
    return text;
}

std::vector<std::string> statusFilters(const std::vector<Target>& targets, bool all)
{
    std::vector<std::string> prefixes;
    if (all)
        prefixes.push_back("docks/+/");
    else if (targets.empty())
        prefixes.push_back("");
    for (const Target& target : targets)
        prefixes.push_back(target.prefix);
    std::vector<std::string> filters;
    for (const std::string& prefix : prefixes) {
        filters.push_back(prefix + "out/status/+");
        filters.push_back(prefix + "out/key/+/+");
        filters.push_back(prefix + "bridge/+");
    }
    return filters;
}

std::string statusMarker(const std::vector<Target>& targets, bool all)
{
    // Under a prefix the fleet broker lets the fleet's server write to, and outside every
    // record's filter.
    if (all)
        return "docks/vek-request/sync";
    return (targets.empty() ? std::string() : targets.front().prefix) + "vek-request/sync";
}

std::vector<DockState> buildStatus(const std::vector<Retained>& retained, const std::vector<Target>& targets, bool all)
{
    std::vector<DockState> docks;
    if (all) {
        std::map<std::string, DockState> found;
        for (const Retained& message : retained) {
            if (!startsWith(message.topic, "docks/"))
                continue;
            const auto slash = message.topic.find('/', 6);
            if (slash == std::string::npos || slash == 6)
                continue;
            const std::string id = message.topic.substr(6, slash - 6);
            auto it = found.find(id);
            if (it == found.end())
                it = found.emplace(id, newDock(id, "docks/" + id + "/")).first;
            place(it->second, message.topic.substr(slash + 1), message.payload);
        }
        for (auto& [id, dock] : found)
            docks.push_back(std::move(dock));
        return docks;
    }
    if (targets.empty())
        docks.push_back(newDock("local", ""));
    for (const Target& target : targets)
        docks.push_back(newDock(target.label, target.prefix));
    for (const Retained& message : retained) {
        // The longest prefix wins: one target's prefix may start another's.
        DockState* owner = nullptr;
        for (DockState& dock : docks)
            if (startsWith(message.topic, dock.prefix) && (!owner || dock.prefix.size() > owner->prefix.size()))
                owner = &dock;
        if (owner)
            place(*owner, message.topic.substr(owner->prefix.size()), message.payload);
    }
    return docks;
}

void printTable(const std::vector<DockState>& docks, std::ostream& out)
{
    std::vector<std::vector<std::string>> daemons{{"DOCK", "BRIDGE", "DAEMON", "STATE", "VERSION", "SINCE"}};
    std::vector<std::vector<std::string>> keys{{"DOCK", "KEY", "VERSION", "RESULT", "PROGRESS"}};
    for (const DockState& dock : docks) {
        if (dock.daemons.empty())
            daemons.push_back({dock.label, bridgeText(dock), "-", "no records", "-", "-"});
        for (const auto& [name, d] : dock.daemons)
            daemons.push_back(
                {dock.label, bridgeText(dock), name, d.state, d.version.empty() ? "-" : d.version, sinceText(d)});
        for (const auto& [serial, key] : dock.keys)
            keys.push_back({dock.label, serial, key.version ? versionText(*key.version) : "-", resultText(key),
                            progressText(key)});
    }
    printColumns(daemons, out);
    if (keys.size() > 1) {
        out << "\n";
        printColumns(keys, out);
    }
}

nlohmann::json toJson(const std::vector<DockState>& docks)
{
    nlohmann::json list = nlohmann::json::array();
    for (const DockState& dock : docks) {
        nlohmann::json entry{{"dock", dock.label}, {"prefix", dock.prefix}};
        entry["bridge"] = dock.bridge_up ? nlohmann::json(*dock.bridge_up ? "up" : "down") : nlohmann::json();
        nlohmann::json daemons = nlohmann::json::object();
        for (const auto& [name, d] : dock.daemons) {
            nlohmann::json daemon{{"state", d.state}, {"limits", d.limits}};
            daemon["version"] = d.version.empty() ? nlohmann::json() : nlohmann::json(d.version);
            daemon["started"] = d.started ? nlohmann::json(*d.started) : nlohmann::json();
            daemon["stopped"] = d.stopped ? nlohmann::json(*d.stopped) : nlohmann::json();
            daemons[name] = daemon;
        }
        entry["daemons"] = daemons;
        nlohmann::json keys = nlohmann::json::array();
        for (const auto& [serial, key] : dock.keys) {
            nlohmann::json k{{"serial", serial}};
            k["version"] = key.version ? nlohmann::json(versionText(*key.version)) : nlohmann::json();
            k["result"] = key.result
                ? nlohmann::json{{"success", key.result->first}, {"version", versionText(key.result->second)}}
                : nlohmann::json();
            k["progress"] = key.progress ? *key.progress : nlohmann::json();
            if (key.unreadable)
                k["unreadable"] = true;
            keys.push_back(k);
        }
        entry["keys"] = keys;
        list.push_back(entry);
    }
    return nlohmann::json{{"docks", list}, {"all_online", allOnline(docks)}};
}

bool allOnline(const std::vector<DockState>& docks)
{
    for (const DockState& dock : docks) {
        if ((dock.bridge_up && !*dock.bridge_up) || dock.daemons.empty())
            return false;
        for (const auto& [name, daemon] : dock.daemons)
            if (daemon.state != "online")
                return false;
    }
    return true;
}

} // namespace vek::request
