#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testsupport {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                           const std::string& workingDir)
{
    if (argv.empty())
        throw std::invalid_argument("ChildProcess: empty argv");

    // Everything the child needs is prepared before fork: the child only calls async-signal-safe functions.
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        std::string s(*e);
        auto eq = s.find('=');
        if (eq != std::string::npos && env.count(s.substr(0, eq)))
            continue;
        envStrings.push_back(std::move(s));
    }
    for (const auto& kv : env)
        envStrings.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args(argv);
    std::vector<char*> argp;
    for (auto& s : args)
        argp.push_back(s.data());
    argp.push_back(nullptr);
    const std::string out = _dir.file("stdout"), err = _dir.file("stderr");

    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Ends with the test, however the test ends; a test that is already gone has ended it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(126);
        int in = ::open("/dev/null", O_RDONLY);
        int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || o < 0 || e < 0)
            ::_exit(126);
        ::dup2(in, STDIN_FILENO);
        ::dup2(o, STDOUT_FILENO);
        ::dup2(e, STDERR_FILENO);
        if (!workingDir.empty() && ::chdir(workingDir.c_str()) != 0)
            ::_exit(126);
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    _pid = pid;
}

ChildProcess::~ChildProcess()
{
    if (_pid > 0 && !_status) {
        ::kill(_pid, SIGKILL);
        int st;
        ::waitpid(_pid, &st, 0);
    }
}

void ChildProcess::signal(int sig)
{
    if (_pid > 0 && !_status)
        ::kill(_pid, sig);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout)
{
    if (_status)
        return _status;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int st;
        pid_t r = ::waitpid(_pid, &st, WNOHANG);
        if (r == _pid) {
            _status = st;
            return _status;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::optional<int> ChildProcess::waitExitCode(std::chrono::milliseconds timeout)
{
    auto st = wait(timeout);
    if (!st)
        return std::nullopt;
    if (WIFEXITED(*st))
        return WEXITSTATUS(*st);
    if (WIFSIGNALED(*st))
        return -1000 - WTERMSIG(*st);
    return -1;
}

bool ChildProcess::running() { return !wait(std::chrono::milliseconds(0)).has_value(); }

std::string ChildProcess::stdoutText() const { return readFile(_dir.file("stdout")); }
std::string ChildProcess::stderrText() const { return readFile(_dir.file("stderr")); }

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (stdoutText().find(text) != std::string::npos || stderrText().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

double processCpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line))
        return -1;
    // Fields after the command name, which is in parentheses and may hold blanks.
    auto close = line.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoul(field);
        if (i == 15)
            stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long processPeakRssKiB(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

} // namespace testsupport
