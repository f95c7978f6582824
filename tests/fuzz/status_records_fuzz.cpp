// The docks' retained records as vek-request --status reads them. Input: the topic, a newline,
// the payload (the record's bytes, from the network).
//
// Whatever the bytes, sorting them into docks, printing the table and the JSON never fails; a
// dock is counted online only when every daemon it lists has the state "online".

#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz_support.h"
#include "src/tools/fleet_status.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::setInput(data, size);
    const std::string input(reinterpret_cast<const char*>(data), size);
    const auto newline = input.find('\n');
    if (newline == std::string::npos)
        return 0;
    const std::vector<vek::request::Retained> retained{{input.substr(0, newline), input.substr(newline + 1)}};
    for (const bool all : {true, false}) {
        const auto docks = vek::request::buildStatus(retained, {{"A", "docks/A/"}}, all);
        std::ostringstream out;
        vek::request::printTable(docks, out);
        (void)vek::request::toJson(docks).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        bool everyOnline = true;
        for (const auto& dock : docks) {
            everyOnline = everyOnline && !dock.daemons.empty() && dock.bridge_up.value_or(true);
            for (const auto& [name, daemon] : dock.daemons)
                everyOnline = everyOnline && daemon.state == "online";
        }
        fuzz::check(vek::request::allOnline(docks) == everyOnline, "allOnline disagrees with the daemons' states");
    }
    return 0;
}
