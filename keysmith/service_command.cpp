#include "service_command.h"

#include <cerrno>
#include <csignal>
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

int runServiceCommand(const char* command)
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
    if (posix_spawnattr_setflags(&spawn.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) != 0 ||
        posix_spawnattr_setsigmask(&spawn.attr, &none) != 0 ||
        posix_spawnattr_setsigdefault(&spawn.attr, &stops) != 0)
        return -1;

    char sh[] = "sh", dashC[] = "-c";
    char* argv[] = {sh, dashC, const_cast<char*>(command), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", nullptr, &spawn.attr, argv, environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

} // namespace keysmith
