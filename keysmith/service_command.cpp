#include "service_command.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <log4cpp/Category.hh>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace keysmith {

namespace {

/// posix_spawnattr_t with its destroy call.
class SpawnAttributes {
public:
    SpawnAttributes() { ok = posix_spawnattr_init(&attr) == 0; }
    ~SpawnAttributes()
    {
        if (ok)
            posix_spawnattr_destroy(&attr);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    bool ok = false;
    posix_spawnattr_t attr;
};

} // namespace

int runServiceCommand(const char* command, std::chrono::milliseconds deadline)
{
    if (!command)
        return -1;
    SpawnAttributes spawn;
    if (!spawn.ok)
        return -1;
    sigset_t none, stops;
    sigemptyset(&none);
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    // A process group of its own, so that a command that overstays is ended with everything it
    // started.
    if (posix_spawnattr_setflags(&spawn.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP) !=
            0 ||
        posix_spawnattr_setpgroup(&spawn.attr, 0) != 0 || posix_spawnattr_setsigmask(&spawn.attr, &none) != 0 ||
        posix_spawnattr_setsigdefault(&spawn.attr, &stops) != 0)
        return -1;

    char sh[] = "sh", dashC[] = "-c";
    char* argv[] = {sh, dashC, const_cast<char*>(command), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", nullptr, &spawn.attr, argv, environ) != 0)
        return -1;
    // Polled, not waited for without end: a hanging sv must not stop the loop for ever.
    const auto step = std::chrono::milliseconds(10);
    const timespec pause{0, static_cast<long>(std::chrono::nanoseconds(step).count())};
    const auto end = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return status;
        if (done < 0 && errno != EINTR)
            return -1;
        if (std::chrono::steady_clock::now() >= end)
            break;
        nanosleep(&pause, nullptr);
    }
    log4cpp::Category::getInstance("main").error("'%s' did not end within %lld ms; killed", command,
                                                 static_cast<long long>(deadline.count()));
    kill(-pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            break;
    return -1;
}

} // namespace keysmith
