#pragma once

#include "common/c_handle.h"
#include "tests/support/build_slowdown.h"

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/syscall.h>
#include <sys/types.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

/// How much later than asked a thread may get to run on a loaded two-core machine, scaled for
/// the build (sanitizer, emulator). An upper bound on wall time in a test is the nominal time
/// plus this, so it only catches a wait that is too long by more than that (a pause taken twice,
/// a second for a millisecond), never a busy machine.
constexpr std::chrono::seconds kSchedulingSlack{3 * kBuildSlowdown};
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

/// The calling thread's kernel id, for waitUntilAsleep.
inline pid_t currentThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

/// Whether the thread is asleep in the kernel, as it is inside a condition wait, a poll or a
/// sleep. The thread of this process, or of another process when pid is not 0.
inline bool threadAsleep(pid_t threadId, pid_t pid = 0)
{
    const std::string process = pid ? std::to_string(pid) : std::string("self");
    std::ifstream in("/proc/" + process + "/task/" + std::to_string(threadId) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // "tid (name) S ...": the name may hold anything, the state follows its last ')'.
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S';
}

/// Waits until the thread of this process is asleep; true when it was. For a test that must act
/// only once another thread's wait has begun, which nothing else shows.
inline bool waitUntilAsleep(pid_t threadId, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    return waitUntil([&] { return threadAsleep(threadId); }, timeout, std::chrono::milliseconds(1));
}

/// Waits until every thread of the process is asleep at the same moment, but for the calling
/// thread when the process is this one (pid 0): the threads of the code under test have reached
/// their waits. True when they did.
inline bool waitUntilThreadsAsleep(pid_t pid = 0, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const pid_t self = pid ? 0 : currentThreadId();
    const std::string tasks = "/proc/" + (pid ? std::to_string(pid) : std::string("self")) + "/task";
    return waitUntil(
        [&] {
            const vek::CHandle<DIR, ::closedir> dir(::opendir(tasks.c_str()));
            if (!dir)
                return false;
            while (dirent* entry = ::readdir(dir.get())) {
                if (entry->d_name[0] == '.')
                    continue;
                const pid_t id = static_cast<pid_t>(std::stol(entry->d_name));
                if (id != self && !threadAsleep(id, pid))
                    return false;
            }
            return true;
        },
        timeout, std::chrono::milliseconds(1));
}

} // namespace testsupport
