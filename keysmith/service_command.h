#pragma once

#include <chrono>

namespace keysmith {

/// How long a service command may take. runit's sv gives up after 7 s by itself; a command still
/// running after this is ended.
constexpr std::chrono::milliseconds kServiceCommandDeadline{10000};

/// Runs a service command ("sv stop moxlink") through "/bin/sh -c", as system() does, and
/// waits for it; its wait status as system() reports it (0 when it exited with 0), or -1 when
/// the shell could not be started or waited for, or did not end within `deadline` (it is then
/// killed with everything it started, and the failure logged on "main").
///
/// Unlike system(), the calling thread's signal mask and handlers are left alone: with the stop
/// signals blocked in the caller, a stop that arrives meanwhile stays pending for the caller
/// (system() ignores SIGINT while the command runs, and drops one that is already pending). The
/// shell itself starts with no signal blocked and SIGINT and SIGTERM at their default action.
int runServiceCommand(const char* command, std::chrono::milliseconds deadline = kServiceCommandDeadline);

} // namespace keysmith
