// cKeyListener polls that take their full time: 5 s pauses and 5 s waits for a request,
// against the emulated key plugged in and pulled out.
#include "listener_fixture.h"

#include <cstdio>

using namespace listenertest;

namespace {

// A poll's pause, and its wait for a request.
constexpr double kPause = 5.0;

// A sleep is never shorter; a busy machine makes it longer, but not by another pause.
void expectPause(double seconds)
{
    EXPECT_GE(seconds, kPause - 0.1);
    EXPECT_LT(seconds, 2 * kPause);
}

} // namespace

TEST_F(ListenerTest, ClaimDelayZeroClaimsAtOnceOncePerPresence)
{
    cKeyListener listener(device.get(), 0); // no request waiter: a present key is polled every 5 s
    double seconds = 0;

    EXPECT_EQ(poll(listener, &seconds), ListenResult::ClaimDue);
    EXPECT_LT(seconds, kPause) << "at once";
    EXPECT_EQ(version, 0u);
    EXPECT_TRUE(log.has("cKeyListener", log4cpp::Priority::DEBUG, "Key Connected for 0 (0)"));
    EXPECT_TRUE(log.has("cKeyListener", log4cpp::Priority::DEBUG, "Claim delay passed"));

    EXPECT_EQ(poll(listener, &seconds), ListenResult::Claimed);
    expectPause(seconds);
    EXPECT_TRUE(log.has("cKeyListener", log4cpp::Priority::DEBUG, "key was claimed 0s ago"));

    // Pulled out: the presence ends.
    key->unplug();
    ASSERT_TRUE(waitPresent(false));
    EXPECT_EQ(poll(listener, &seconds), ListenResult::Idle);
    expectPause(seconds);
    EXPECT_TRUE(log.has("cKeyListener", log4cpp::Priority::DEBUG, "waiting for key"));

    // Plugged in again: a new presence, claimed again at once.
    ASSERT_TRUE(key->replug());
    ASSERT_TRUE(waitPresent(true));
    EXPECT_EQ(poll(listener, &seconds), ListenResult::ClaimDue);
    EXPECT_LT(seconds, kPause) << "at once";
    EXPECT_EQ(log.count("Claim delay passed"), 2u);
}

TEST_F(ListenerTest, ClaimDelayCountsFromFirstSightAndResetStartsItAgain)
{
    cKeyListener listener(device.get(), 3);
    listener.setRequestWaiter(&waiter);
    double seconds = 0;

    // Present but not yet claimed, nothing requested: 5 s of waiting, then 5 s of pause.
    EXPECT_EQ(poll(listener, &seconds), ListenResult::Idle);
    EXPECT_GE(seconds, 8.9);
    EXPECT_LT(seconds, 3 * kPause) << "a wait and a pause";
    EXPECT_TRUE(log.has("cKeyListener", log4cpp::Priority::DEBUG, "Key Connected for 0 (3)"));

    // The delay has passed by the next poll.
    log.clear();
    EXPECT_EQ(poll(listener, &seconds), ListenResult::ClaimDue);
    EXPECT_LT(seconds, kPause) << "at once";
    // About 10 s since first sight (the wait ends on a whole second of the wall clock).
    int elapsed = -1;
    for (const auto& m : log.messages("cKeyListener"))
        std::sscanf(m.c_str(), "Key Connected for %d (3)", &elapsed);
    EXPECT_GE(elapsed, 8);
    EXPECT_LT(elapsed, 3 * kPause);
    EXPECT_TRUE(log.has("cKeyListener", log4cpp::Priority::DEBUG, "Claim delay passed"));

    // After a reset the key counts as freshly seen; without a waiter the poll is 5 s.
    listener.resetClaim();
    listener.setRequestWaiter(nullptr);
    log.clear();
    EXPECT_EQ(poll(listener, &seconds), ListenResult::Idle);
    expectPause(seconds);
    EXPECT_TRUE(log.has("cKeyListener", log4cpp::Priority::DEBUG, "Key Connected for 0 (3)"));
}
