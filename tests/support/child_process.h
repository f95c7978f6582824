#pragma once

#include "temp_dir.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

/// A program run by a test: standard output and error go to files, extra environment variables
/// are added to the test's own. The process is killed and reaped on destruction, and killed by the
/// kernel when the thread that started it ends (the test process dies, or a test started it from
/// a thread of its own: start it from the thread that lives as long as it should).
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                 const std::string& workingDir = "");
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return _pid; }
    void signal(int sig);
    /// The raw wait status once the process has ended, or nothing when it is still running at the deadline.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    /// The exit code (WEXITSTATUS) once ended normally; -1000 - signal when killed by a signal;
    /// nothing when still running at the deadline.
    std::optional<int> waitExitCode(std::chrono::milliseconds timeout);
    bool running();

    std::string stdoutText() const;
    std::string stderrText() const;
    /// Waits until the standard output or error contains the text.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const;

private:
    TempDir _dir;
    pid_t _pid = -1;
    std::optional<int> _status;
};

/// User and system CPU time of a running process in seconds (from /proc), or -1.
double processCpuSeconds(pid_t pid);
/// VmHWM of a running process in KiB (from /proc), or -1.
long processPeakRssKiB(pid_t pid);

} // namespace testsupport
