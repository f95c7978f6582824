// The keeper on one end of a socket pair: what it writes while armed, and that it writes nothing
// before or after.
#include "src/session_keeper.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

using namespace std::chrono_literals;

struct SocketPair {
    int ends[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0); }
    ~SocketPair()
    {
        for (int fd : ends)
            if (fd >= 0)
                ::close(fd);
    }
    /// Everything the keeper's end has written so far.
    std::string drain()
    {
        std::string out;
        char buffer[64];
        for (ssize_t n; (n = ::recv(ends[1], buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            out.append(buffer, static_cast<size_t>(n));
        return out;
    }
};

const std::string kPing("\xc0\x00", 2);

TEST(SessionKeeper, WritesWholePingRequestsOnlyWhileArmed)
{
    SocketPair pair;
    vek::SessionKeeper keeper(20ms);
    std::string seen;
    // Not armed: nothing, however long it waits.
    EXPECT_FALSE(testsupport::waitUntil([&] { return !(seen += pair.drain()).empty(); }, 100ms));

    keeper.arm(pair.ends[0]);
    ASSERT_TRUE(testsupport::waitUntil([&] { return (seen += pair.drain()).size() >= 3 * kPing.size(); }));
    const unsigned pings = keeper.disarm();
    seen += pair.drain();
    EXPECT_EQ(seen.size(), pings * kPing.size()) << "every PINGREQ whole, and counted";
    for (size_t at = 0; at < seen.size(); at += 2)
        EXPECT_EQ(seen.substr(at, 2), kPing) << at;

    // Disarmed: nothing more.
    seen.clear();
    EXPECT_FALSE(testsupport::waitUntil([&] { return !(seen += pair.drain()).empty(); }, 100ms));
    // Armed again, the count starts over.
    keeper.arm(pair.ends[0]);
    ASSERT_TRUE(testsupport::waitUntil([&] { return !(seen += pair.drain()).empty(); }));
    EXPECT_GE(keeper.disarm(), 1u);
}

} // namespace
