// Service commands run through the shell with the caller's stop signals left blocked.
#include "keysmith/service_command.h"

#include <csignal>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>

namespace {

/// Blocks SIGINT and SIGTERM in the calling thread while it lives, as the daemon's loop does.
struct StopsBlocked {
    sigset_t set, old;
    StopsBlocked()
    {
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, &old);
    }
    ~StopsBlocked() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
};

} // namespace

TEST(ServiceCommand, StatusAsSystemReportsItWithTheShellsSignalsOpen)
{
    StopsBlocked blocked;
    EXPECT_EQ(keysmith::runServiceCommand("exit 0"), 0);
    const int three = keysmith::runServiceCommand("exit 3");
    ASSERT_TRUE(WIFEXITED(three));
    EXPECT_EQ(WEXITSTATUS(three), 3);
    EXPECT_EQ(WEXITSTATUS(keysmith::runServiceCommand("/nonexistent/sv stop moxlink")), 127);

    // The shell is not left with the caller's block: a SIGTERM to itself ends it.
    const int killed = keysmith::runServiceCommand("kill -TERM $$; exit 0");
    ASSERT_TRUE(WIFSIGNALED(killed)) << killed;
    EXPECT_EQ(WTERMSIG(killed), SIGTERM);

    // Nothing was taken from the caller: a stop that was pending before is pending after.
    ASSERT_EQ(pthread_kill(pthread_self(), SIGINT), 0);
    EXPECT_EQ(keysmith::runServiceCommand("exit 0"), 0);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGINT), 1) << "the pending stop was dropped";
    int taken = 0;
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, SIGINT);
    sigwait(&only, &taken); // consumed here, before the block lifts
    EXPECT_EQ(taken, SIGINT);
}
