#pragma once
// Makes thread creation fail for one thread only, to test code that must survive it. The test
// build defines pthread_create (see thread_start_failure.cpp) and forwards every call to the C
// library's, except the calls this object refuses: only those made by the thread that holds it,
// while it lives. Threads that other threads start meanwhile (a library's worker threads, the
// test bed's) are not touched, which a process-wide limit could not promise.

#include <cstddef>

namespace testsupport {

class ThreadStartFailure {
public:
    /// From now on, every thread the calling thread starts fails with EAGAIN.
    ThreadStartFailure();
    /// Thread creation works again.
    ~ThreadStartFailure();
    ThreadStartFailure(const ThreadStartFailure&) = delete;
    ThreadStartFailure& operator=(const ThreadStartFailure&) = delete;

    /// How many thread starts were refused so far.
    size_t refused() const;
};

} // namespace testsupport
