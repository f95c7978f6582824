#include "keysmith/signal_waiter.h"

#include "tests/support/log_capture.h"
#include "tests/support/wait.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <future>
#include <gtest/gtest.h>
#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/LoggingEvent.hh>
#include <mutex>
#include <thread>

namespace {

using log4cpp::Priority;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

ServerRequest* makeRequest(uint32_t serial)
{
    auto* request = new ServerRequest;
    request->serial = serial;
    return request;
}

/// Triggers requests with serials 1, 2, ... until the waiting call returns, so that one of them is
/// sure to arrive while the other thread is inside wait(). The serial of the last one triggered.
uint32_t triggerUntilTaken(cSignalWaiter& waiter, std::future<bool>& waiting, bool withRequest = true)
{
    uint32_t serial = 0;
    while (waiting.wait_for(10ms) != std::future_status::ready)
        waiter.trigger(withRequest ? makeRequest(++serial) : nullptr);
    return serial;
}

class SignalWaiterTest : public ::testing::Test {
protected:
    testsupport::LogCapture capture;
};

TEST_F(SignalWaiterTest, RequestTriggeredWhileNobodyWaitsIsDropped)
{
    cSignalWaiter waiter;
    waiter.trigger(makeRequest(7));
    EXPECT_EQ(capture.messages("cSignalWaiter"), (std::vector<std::string>{"triggered", "but who cares?"}));
    EXPECT_TRUE(capture.has("cSignalWaiter", Priority::DEBUG, "but who cares?"));
    EXPECT_TRUE(capture.has("ServerRequest", Priority::DEBUG, "deleted"));

    ServerRequest* request = reinterpret_cast<ServerRequest*>(0x1);
    EXPECT_FALSE(waiter.wait(&request, 0)); // nothing was kept
    EXPECT_EQ(request, reinterpret_cast<ServerRequest*>(0x1));
}

TEST_F(SignalWaiterTest, HandsOverToTheWaitingThread)
{
    struct Case {
        const char* name;
        bool withRequest;
        bool withOut;
    };
    for (const Case& c : {Case{"request to caller", true, true}, Case{"request deleted without out", true, false},
                          Case{"hand-over without request", false, true}}) {
        SCOPED_TRACE(c.name);
        cSignalWaiter waiter;
        capture.clear();
        ServerRequest* request = reinterpret_cast<ServerRequest*>(0x1);
        std::future<bool> waiting =
            std::async(std::launch::async, [&] { return waiter.wait(c.withOut ? &request : nullptr, 5); });
        const uint32_t last = triggerUntilTaken(waiter, waiting, c.withRequest);
        EXPECT_TRUE(waiting.get());
        if (c.withOut && c.withRequest) {
            ASSERT_NE(request, nullptr);
            EXPECT_GE(request->serial, 1u);
            EXPECT_LE(request->serial, last);
            delete request;
        } else if (c.withOut) {
            EXPECT_EQ(request, nullptr);
        }
        // Every request was either handed over and deleted by its taker, or dropped.
        EXPECT_EQ(capture.count("created"), capture.count("deleted"));
    }
}

TEST_F(SignalWaiterTest, TimesOutAtTheWholeSecondDeadline)
{
    cSignalWaiter waiter;
    ServerRequest* request = nullptr;
    const auto start = Clock::now();
    EXPECT_FALSE(waiter.wait(&request, 2));
    const auto elapsed = Clock::now() - start;
    // Counted from the current whole second: more than one second, at most two (and what a busy
    // machine adds).
    EXPECT_GT(elapsed, 900ms);
    EXPECT_LT(elapsed, 2s + testsupport::kSchedulingSlack);
    EXPECT_EQ(request, nullptr);

    // A deadline that has passed already: no wait at all.
    const auto immediate = Clock::now();
    EXPECT_FALSE(waiter.wait(&request, 0));
    EXPECT_FALSE(waiter.wait(&request, -5));
    EXPECT_LT(Clock::now() - immediate, testsupport::kSchedulingSlack);
}

/// Holds the thread that logs "triggered" on "cSignalWaiter" until released. The waiter logs it
/// with its mutex held, which lets a test stop a hand-over half-way.
class TriggerGate : public log4cpp::AppenderSkeleton {
public:
    TriggerGate() : log4cpp::AppenderSkeleton("trigger-gate") {}
    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout*) override {}

    bool waitUntilHeld(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [this] { return held; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }

protected:
    void _append(const log4cpp::LoggingEvent& event) override
    {
        if (event.message != "triggered")
            return;
        std::unique_lock<std::mutex> lock(mutex);
        held = true;
        changed.notify_all();
        changed.wait_for(lock, 10s, [this] { return open; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false; // guarded by mutex
    bool open = false; // guarded by mutex
};

/// Attaches a gate to "cSignalWaiter" while it lives, and releases it on the way out.
class GatedTrigger {
public:
    GatedTrigger() : category(log4cpp::Category::getInstance("cSignalWaiter")) { category.addAppender(gate); }
    ~GatedTrigger()
    {
        gate.release();
        if (delivering.joinable())
            delivering.join();
        category.removeAppender(&gate);
    }

    /// Runs a wait of two seconds on another thread and a hand-over on a third that is stopped
    /// inside the waiter's lock until the wait has timed out; then lets the hand-over finish. The
    /// result of that wait. Whether the wait had begun when the hand-over came cannot be seen from
    /// here; if not, the waiter drops the request ("but who cares?") and the caller tries again.
    bool deliverAsTheDeadlinePasses(cSignalWaiter& waiter, ServerRequest** out, uint32_t serial)
    {
        std::atomic<pid_t> waiterThread{0};
        std::future<bool> waiting = std::async(std::launch::async, [&] {
            waiterThread = testsupport::currentThreadId();
            return waiter.wait(out, 2);
        });
        // Inside its wait before the hand-over comes.
        EXPECT_TRUE(testsupport::waitUntil([&] { return waiterThread.load() != 0; }));
        EXPECT_TRUE(testsupport::waitUntilAsleep(waiterThread.load()));
        // The wait began before this moment, so its two seconds are over by this plus two (plus
        // one more, should the deadline be rounded to the whole second).
        const auto asleep = std::chrono::steady_clock::now();
        delivering = std::thread([&waiter, serial] { waiter.trigger(makeRequest(serial)); });
        EXPECT_TRUE(gate.waitUntilHeld(10s));
        // The hand-over holds the waiter's lock while the deadline passes: the timed-out wait
        // cannot return before the request has been stored.
        std::this_thread::sleep_until(asleep + 3s + 500ms);
        EXPECT_EQ(waiting.wait_for(0ms), std::future_status::timeout);
        gate.release();
        delivering.join();
        return waiting.get();
    }

private:
    log4cpp::Category& category;
    TriggerGate gate;
    std::thread delivering;
};

TEST_F(SignalWaiterTest, RequestArrivingAsTheDeadlinePassesIsKeptForTheNextWait)
{
    cSignalWaiter waiter;
    ServerRequest* request = nullptr;
    bool handedOver = false;
    for (int attempt = 0; attempt < 5 && !handedOver; ++attempt) {
        capture.clear();
        GatedTrigger gated;
        EXPECT_FALSE(gated.deliverAsTheDeadlinePasses(waiter, &request, 0xABCD));
        handedOver = !capture.contains("but who cares?");
    }
    ASSERT_TRUE(handedOver) << "the waiting thread never got inside its wait in time";
    EXPECT_EQ(request, nullptr);

    // Kept: the next wait takes it at once (a lost one would make it time out and fail).
    EXPECT_TRUE(waiter.wait(&request, 5));
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->serial, 0xABCDu);
    delete request;
    EXPECT_FALSE(waiter.wait(&request, 0)); // taken once only
}

} // namespace

// The stop flag ends a wait early as a time-out would: nothing is taken, and a request that comes
// later is handed to the next waiter as usual.
TEST_F(SignalWaiterTest, ClearedStopFlagEndsTheWaitLikeATimeOut)
{
    cSignalWaiter waiter;
    std::atomic<bool> keepWaiting{true};
    ServerRequest* request = nullptr;
    std::atomic<pid_t> waiterThread{0};
    auto waiting = std::async(std::launch::async, [&] {
        waiterThread = testsupport::currentThreadId();
        return waiter.wait(&request, 30, keepWaiting);
    });
    // Cleared while the wait sleeps, not before it begins.
    ASSERT_TRUE(testsupport::waitUntil([&] { return waiterThread.load() != 0; }));
    ASSERT_TRUE(testsupport::waitUntilAsleep(waiterThread.load()));
    keepWaiting = false;
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready) << "the flag did not end the wait";
    EXPECT_FALSE(waiting.get());
    EXPECT_EQ(request, nullptr);

    std::atomic<bool> on{true};
    auto next = std::async(std::launch::async, [&] { return waiter.wait(&request, 5, on); });
    triggerUntilTaken(waiter, next);
    EXPECT_TRUE(next.get());
    ASSERT_NE(request, nullptr);
    delete request;
}
