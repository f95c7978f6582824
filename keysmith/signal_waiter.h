#pragma once

#include "server_request.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <log4cpp/Category.hh>
#include <memory>
#include <mutex>

/// Hands a server request from the MQTT network thread to a daemon thread. It holds at most one
/// request and keeps it only while some thread is inside wait(): a request triggered while nobody
/// waits is dropped. Logs on the category "cSignalWaiter".
class cSignalWaiter {
public:
    cSignalWaiter();
    /// Deletes a request still pending.
    virtual ~cSignalWaiter();
    cSignalWaiter(const cSignalWaiter&) = delete;
    cSignalWaiter& operator=(const cSignalWaiter&) = delete;

    /// Waits until a request is handed over or `seconds` have passed since the current whole second
    /// of the wall clock (measured on the monotonic clock). True when a hand-over came (the
    /// request, possibly null, goes to *out and belongs to the caller; it is deleted when out is
    /// null), false on time-out. A request handed over in the very instant of the time-out stays
    /// pending and is returned at once by the next wait.
    bool wait(ServerRequest** out, int seconds);
    /// As wait(out, seconds), and also false, within about a tenth of a second, once keepWaiting
    /// reads false (a flag a signal handler clears: the wait looks at it between short slices).
    bool wait(ServerRequest** out, int seconds, const std::atomic<bool>& keepWaiting);
    /// Hands the request (ownership passes) to the waiting thread, or drops it when none waits.
    void trigger(ServerRequest* request);

private:
    static constexpr std::chrono::milliseconds kStopCheck{100};

    bool waitFor(ServerRequest** out, int seconds, const std::atomic<bool>* keepWaiting);

    log4cpp::Category& log;
    std::mutex mutex;                       // guards pending, waiting and delivered
    std::condition_variable condition;      // signalled on each trigger
    std::unique_ptr<ServerRequest> pending; // guarded by mutex: handed over, not yet taken
    bool waiting = false;                   // guarded by mutex: a thread is inside wait()
    // Guarded by mutex: a hand-over happened (the request itself may be null). Lets wait() tell a
    // hand-over from a spurious wake-up.
    bool delivered = false;
};
