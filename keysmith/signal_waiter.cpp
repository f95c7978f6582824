#include "signal_waiter.h"

#include <algorithm>
#include <chrono>

cSignalWaiter::cSignalWaiter() : log(log4cpp::Category::getInstance("cSignalWaiter")) {}

cSignalWaiter::~cSignalWaiter() = default;

bool cSignalWaiter::wait(ServerRequest** out, int seconds) { return waitFor(out, seconds, nullptr); }

bool cSignalWaiter::wait(ServerRequest** out, int seconds, const std::atomic<bool>& keepWaiting)
{
    return waitFor(out, seconds, &keepWaiting);
}

bool cSignalWaiter::waitFor(ServerRequest** out, int seconds, const std::atomic<bool>* keepWaiting)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!delivered) {
        // Counted from the current whole second of the wall clock, but waited for on the monotonic
        // clock: the board sets its clock from the network after boot, and a step of the wall
        // clock must neither end the wait at once nor stretch it by years.
        const auto wall = std::chrono::system_clock::now();
        const auto intoSecond = wall - std::chrono::floor<std::chrono::seconds>(wall);
        const auto deadline = std::chrono::steady_clock::now() - intoSecond + std::chrono::seconds(seconds);
        waiting = true;
        bool timedOut = false;
        while (!delivered && !timedOut) {
            // A signal handler cannot wake a condition variable: the flag is looked at between
            // slices instead.
            if (keepWaiting && !keepWaiting->load()) {
                timedOut = true;
                break;
            }
            const auto until = keepWaiting ? std::min<std::chrono::steady_clock::time_point>(
                                                 deadline, std::chrono::steady_clock::now() + kStopCheck)
                                           : deadline;
            if (condition.wait_until(lock, until) == std::cv_status::timeout)
                timedOut = std::chrono::steady_clock::now() >= deadline;
        }
        waiting = false;
        // A request that came as the deadline passed is kept for the next wait.
        if (timedOut)
            return false;
    }
    ServerRequest* request = pending.release();
    delivered = false;
    if (out)
        *out = request;
    else
        delete request;
    return true;
}

void cSignalWaiter::trigger(ServerRequest* request)
{
    std::unique_ptr<ServerRequest> owned(request);
    std::lock_guard<std::mutex> lock(mutex);
    log.debug("triggered");
    if (waiting) {
        pending = std::move(owned); // replaces (deletes) one that was never taken
        delivered = true;
    } else {
        log.debug("but who cares?");
        owned.reset();
    }
    condition.notify_one();
}
