#include "signal_waiter.h"

#include <algorithm>
#include <chrono>
#include <ctime>

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
        // The deadline is on the wall clock, counted from the current whole second.
        const auto deadline = std::chrono::system_clock::from_time_t(std::time(nullptr) + seconds);
        waiting = true;
        bool timedOut = false;
        while (!delivered && !timedOut) {
            // A signal handler cannot wake a condition variable: the flag is looked at between
            // slices instead.
            if (keepWaiting && !keepWaiting->load()) {
                timedOut = true;
                break;
            }
            const auto until =
                keepWaiting ? std::min<std::chrono::system_clock::time_point>(
                                  deadline, std::chrono::system_clock::now() + kStopCheck)
                            : deadline;
            if (condition.wait_until(lock, until) == std::cv_status::timeout)
                timedOut = std::chrono::system_clock::now() >= deadline;
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
