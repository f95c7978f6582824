// vek-request: sends one command request to the command service, or the same request to the
// command services of several docks through a fleet broker, and prints the answers; or shows
// what the docks' daemons and keys report (--status).
//
//   vek-request [options] SCRIPT [ARGS-AS-JSON]
//   vek-request [options] --status [--json] [--all]
//
// The JSON arguments travel as MessagePack under "args" (nil when none are given).
//
// Without --dock or --prefix the request goes to in/cmd/<job id> and the answer is printed as it
// came, followed by a newline; a failure result is printed as "failed: <reason>" on the standard
// error stream. Exit status: 0 answer, 1 job failure, 2 usage error, no connection or no answer.
//
// With --dock ID (docks/ID/ before every topic) or --prefix TEXT (TEXT before every topic), each
// given as often as there are docks, the same request goes to each dock and one line per dock is
// printed in the order given: "<dock> ok <answer>" or "<dock> failed <reason>", the answer with
// control bytes and "\" escaped so that it stays on its line. Exit status: 0 when every dock
// answered successfully, 1 when every dock answered and a job failed, 2 when a dock did not
// answer in time, or on a usage or connection error.
//
// The request is published retained, so that a service or a dock broker that is reconnecting
// still finds it; every transaction is then ended with an empty retained message on its request
// topic (also after a time-out or an interrupt), which ends the job at the service and clears the
// retained request and result.
//
// --status reads the retained status records of both daemons, the bridge's state and the key
// records of the local dock, of the docks given, or of every dock under docks/ (--all), and
// prints a table (or JSON with --json). Exit status: 0 when every daemon listed is online and no
// bridge is down, 1 otherwise, 2 on a usage or connection error.

#include <unistd.h>
#include <iostream>

#include <mosquitto.h>

#include "fleet_status.h"
#include "request_exchange.h"
#include "request_options.h"
#include "request_output.h"

namespace {

using namespace vek::request;

int showStatus(const Options& options)
{
    const auto retained = collectRetained(options, statusFilters(options.targets, options.all_docks),
                                          statusMarker(options.targets, options.all_docks), std::cerr);
    if (!retained)
        return kExitNoAnswer;
    const std::vector<DockState> docks = buildStatus(*retained, options.targets, options.all_docks);
    if (options.json)
        // A record's text need not be UTF-8; JSON must be.
        std::cout << toJson(docks).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    else if (!docks.empty())
        printTable(docks, std::cout);
    std::cout << std::flush;
    if (!std::cout)
        return kExitNoAnswer;
    if (docks.empty()) {
        std::cerr << "vek-request: no dock reports under docks/\n";
        return 1;
    }
    return allOnline(docks) ? 0 : 1;
}

int run(const Options& options)
{
    if (options.status)
        return showStatus(options);
    const auto exchange = exchangeJob(options, std::cerr);
    if (!exchange)
        return kExitNoAnswer;
    return report(options, exchange->transactions, exchange->lost, interrupted != 0, std::cout, std::cerr,
                  Terminals{isatty(STDOUT_FILENO) != 0, isatty(STDERR_FILENO) != 0});
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    switch (parseArguments(argc, argv, options, std::cerr)) {
    case ParseOutcome::Help: std::cout << kUsage << std::flush; return std::cout ? 0 : kExitNoAnswer;
    case ParseOutcome::Usage: std::cerr << kUsage; return kExitNoAnswer;
    case ParseOutcome::Run: break;
    }
    catchStopSignals();
    const int rc = mosquitto_lib_init();
    if (rc != MOSQ_ERR_SUCCESS) {
        std::cerr << "vek-request: cannot initialise the MQTT library: " << mosquitto_strerror(rc) << "\n";
        return kExitNoAnswer;
    }
    int status;
    try {
        status = run(options);
    } catch (const std::exception& e) {
        std::cerr << "vek-request: " << e.what() << "\n";
        status = kExitNoAnswer;
    }
    mosquitto_lib_cleanup();
    return status;
}
