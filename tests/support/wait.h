#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

/// How much later than asked a thread may get to run on a loaded two-core machine under the race
/// detector. An upper bound on wall time in a test is the nominal time plus this, so it only
/// catches a wait that is too long by more than that (a pause taken twice, a second for a
/// millisecond), never a busy machine.
constexpr std::chrono::seconds kSchedulingSlack{3};
constexpr double kSchedulingSlackSeconds = static_cast<double>(kSchedulingSlack.count());

/// Polls the condition until it holds or the timeout has passed; true when it held. The default
/// timeout is generous on purpose: a condition that holds ends the wait at once.
template <class Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10),
               std::chrono::milliseconds interval = std::chrono::milliseconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(interval);
    }
    return true;
}

} // namespace testsupport
