// Service commands run through the shell with the caller's stop signals left blocked.
#include "keysmith/service_command.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

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

TEST(ServiceCommand, ACommandThatHangsIsKilledWithItsChildrenAtTheDeadline)
{
    StopsBlocked blocked;
    testsupport::TempDir dir;
    const std::string pidFile = dir.file("child.pid");
    // The shell's child (the stand-in for a hanging sv) must go too, not only the shell.
    const std::string command = "sleep 600 & echo $! > " + pidFile + "; wait";
    EXPECT_EQ(keysmith::runServiceCommand(command.c_str(), std::chrono::milliseconds(300)), -1);

    ASSERT_TRUE(testsupport::fileExists(pidFile));
    const std::string pid = testsupport::readFile(pidFile);
    const std::string stat = "/proc/" + pid.substr(0, pid.find('\n')) + "/stat";
    // Killed: gone, or a zombie until whoever inherited it reaps it.
    auto ended = [&] {
        const std::string text = testsupport::fileExists(stat) ? testsupport::readFile(stat) : "";
        const auto close = text.rfind(')');
        return text.empty() || (close != std::string::npos && text.compare(close, 4, ") Z ") == 0);
    };
    EXPECT_TRUE(testsupport::waitUntil(ended)) << "the command's child still runs";

    EXPECT_EQ(keysmith::runServiceCommand("exit 0", std::chrono::milliseconds(60000)), 0);
}
