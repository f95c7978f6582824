#pragma once
// vek-request's command line: what it asks for, read from argv.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vek::request {

/// One dock the request goes to: the text that starts its topics and the name it is shown by.
struct Target {
    std::string label;
    std::string prefix;
};

struct Options {
    std::string host = "localhost";
    int port = -1; // chosen from the TLS setting when not given
    double timeout_s = 10;
    int qos = 2;
    std::vector<Target> targets; // empty: the local service, without a prefix
    std::string cafile, cert, key;
    std::optional<std::string> username, password;
    std::string password_file; ///< where the password comes from; else VEK_REQUEST_PASSWORD
    std::string script;
    nlohmann::json args; // null unless given
    /// --status: show the daemons and keys of the targets instead of running a job.
    bool status = false;
    /// --all: every dock under "docks/" (with --status only).
    bool all_docks = false;
    /// --json: the status as one JSON document.
    bool json = false;
};

enum class ParseOutcome {
    Run,   ///< options are complete
    Help,  ///< --help: the usage goes to standard output, exit status 0
    Usage, ///< a usage error, already explained on `err` where there is more to say than the usage
};

extern const char* const kUsage;
/// The environment variable a password may come from, when no --password-file is given.
extern const char* const kPasswordVariable;

/// Fills options from argv. Messages about a bad option go to err. Restarts getopt, so it may be
/// called more than once in a process.
ParseOutcome parseArguments(int argc, char** argv, Options& options, std::ostream& err);

} // namespace vek::request
