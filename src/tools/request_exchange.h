#pragma once
// vek-request's MQTT exchanges: one job sent to one or more docks, and a look at what a broker
// holds retained.

#include <csignal>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "request_options.h"
#include "request_output.h"

namespace vek::request {

/// Set by the stop signals' handler (see catchStopSignals); every wait ends early when it is.
extern volatile sig_atomic_t interrupted;

/// SIGINT and SIGTERM set `interrupted` and cut the network wait short.
void catchStopSignals();

/// How a job exchange went; `transactions` holds one entry per target, in the order given.
struct JobExchange {
    std::vector<Transaction> transactions;
    bool lost = false; ///< the connection broke before every answer came
};

/// Sends the job to every target, waits for the answers and ends every transaction. Nothing
/// after an error that ends the run with kExitNoAnswer, explained on err.
std::optional<JobExchange> exchangeJob(const Options& options, std::ostream& err);

/// One retained message.
struct Retained {
    std::string topic;
    std::string payload;
};

/// Every message the broker holds retained under the filters. A non-retained marker published on
/// `marker` after the subscription ends the look: the broker sends a subscription's retained
/// messages before it reads the marker, and to one client in order. Nothing after an error,
/// explained on err.
std::optional<std::vector<Retained>> collectRetained(const Options& options, const std::vector<std::string>& filters,
                                                     const std::string& marker, std::ostream& err);

} // namespace vek::request
