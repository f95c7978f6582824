#pragma once
// vek-request's output: how answers, failures and time-outs are printed, and the exit status.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "request_options.h"

namespace vek::request {

constexpr int kExitAnswer = 0;
constexpr int kExitJobFailed = 1;
constexpr int kExitNoAnswer = 2;

/// What became of one dock's transaction.
struct Transaction {
    Target target;
    std::string request_topic;
    std::string result_topic;
    std::optional<std::string> answer;
    int end_mid = -1;
};

/// The reason of a failure result, the two-entry map {"status": false, "reason": str}; nothing
/// for any other answer.
std::optional<std::string> failureReason(const std::string& answer);

/// The text on one line: control bytes and the backslash written as escapes, the rest as it is.
std::string oneLine(const std::string& text);

/// The answer as a terminal should show it: control bytes other than the line break and the tab
/// written as \xNN, so that an answer cannot move the cursor, retitle the window or reprogram the
/// terminal.
std::string forTerminal(const std::string& text);

/// Which of the two output streams is a terminal.
struct Terminals {
    bool out = false;
    bool err = false;
};

/// Prints the outcome of the transactions and returns the exit status. lost: the connection
/// broke before every answer came; interrupted: a stop signal ended the wait. A single answer
/// or failure reason goes to a terminal escaped, to a file or pipe as it came.
int report(const Options& options, const std::vector<Transaction>& transactions, bool lost, bool interrupted,
           std::ostream& out, std::ostream& err, Terminals terminals = {});

} // namespace vek::request
