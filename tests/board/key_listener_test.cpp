// cKeyListener: the polls that come back at once (a server request, a stop signal).
// The polls that take their full 5 or 10 s are in key_listener_timing_test.cpp.
#include "listener_fixture.h"

#include <atomic>
#include <csignal>
#include <pthread.h>

using namespace listenertest;

namespace {

/// Hands requests to the waiter from another thread, every 100 ms until stopped: a request
/// triggered before the listener waits is dropped by the waiter, so one is sure to land.
class RequestSender {
public:
    RequestSender(cSignalWaiter& waiter, bool withRequest)
        : thread([this, &waiter, withRequest] {
              while (!stop.load()) {
                  std::this_thread::sleep_for(100ms);
                  ServerRequest* request = nullptr;
                  if (withRequest) {
                      request = new ServerRequest;
                      request->doUpgrade = true;
                      request->version = 0x080902;
                      request->serial = 0x00A1B2C3;
                  }
                  waiter.trigger(request);
              }
          })
    {}
    ~RequestSender()
    {
        stop = true;
        thread.join();
    }

private:
    std::atomic<bool> stop{false};
    std::thread thread;
};

std::atomic<int> signalsCaught{0};
void onSignal(int) { signalsCaught.fetch_add(1); }

} // namespace

TEST_F(ListenerTest, ARequestWhileWaitingIsReceivedAndDeleted)
{
    struct Case {
        bool withRequest;
        uint32_t version, serial; // expected afterwards
        std::string decision;
    };
    const Case cases[] = {
        {true, 0x080902, 0x00A1B2C3, "Server sent upgrade request for key: 10597059 to version: 526594"},
        // A hand-over without a request object: version cleared, serial left as it was.
        {false, 0, 1234, "Server sent upgrade request for key: 1234 to version: 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.withRequest ? "with a request" : "without a request object");
        log.clear();
        serial = 1234;
        cKeyListener listener(device.get(), 300);
        listener.setRequestWaiter(&waiter);
        double seconds = 0;
        ListenResult r;
        {
            RequestSender sender(waiter, c.withRequest);
            r = poll(listener, &seconds);
        }
        EXPECT_EQ(r, ListenResult::RequestReceived);
        EXPECT_LT(seconds, 0.1 + testsupport::kSchedulingSlackSeconds) << "back before the wait's 5 s";
        EXPECT_EQ(version, c.version);
        EXPECT_EQ(serial, c.serial);
        EXPECT_TRUE(log.has("cKeyListener", log4cpp::Priority::DEBUG, "Key Connected for 0 (300)"));
        EXPECT_TRUE(log.has("cKeyListener", log4cpp::Priority::DEBUG, c.decision));
        EXPECT_EQ(
            log.has("cKeyListener", log4cpp::Priority::INFO, "Request for key: 00A1B2C3 Upgrade to version: 00080902"),
            c.withRequest);
        // Every request made was deleted: by the listener, or by the waiter when nobody waited.
        size_t created = 0, deleted = 0;
        for (const auto& m : log.messages("ServerRequest")) {
            created += m == "created";
            deleted += m == "deleted";
        }
        EXPECT_EQ(created, deleted);
    }
}

TEST_F(ListenerTest, AStopSignalShortensThePause)
{
    key->unplug();
    ASSERT_TRUE(waitPresent(false));
    // As the daemon installs its stop handler: no SA_RESTART.
    struct sigaction action = {}, old = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);

    cKeyListener listener(device.get(), 0);
    std::atomic<bool> done{false};
    double seconds = 0;
    ListenResult r = ListenResult::Claimed;
    std::thread poller([&] {
        r = poll(listener, &seconds);
        done = true;
    });
    // Repeated, as a signal that lands just before the pause begins would not shorten it.
    ASSERT_TRUE(log.waitFor("waiting for key", 10s));
    for (int i = 0; i < 30 && !done.load(); ++i) {
        pthread_kill(poller.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(100ms);
    }
    poller.join();
    sigaction(SIGUSR1, &old, nullptr);

    EXPECT_EQ(r, ListenResult::Idle);
    EXPECT_LT(seconds, 0.1 + testsupport::kSchedulingSlackSeconds) << "the 5 s pause was cut short";
    EXPECT_GE(signalsCaught.load(), 1);
    EXPECT_EQ(version, 0u);
    EXPECT_TRUE(log.has("cKeyListener", log4cpp::Priority::DEBUG, "waiting for key"));
}

// With the daemon's running flag set, clearing it ends the poll's waiting within a fraction of a
// second, whether the poll pauses (no key) or waits for a server request (key present), and
// whenever it is cleared (a signal that lands just before a sleep must not be missed).
TEST_F(ListenerTest, ClearingTheStopFlagCutsThePauseAndTheRequestWait)
{
    struct Case {
        const char* name;
        bool keyPresent;
        bool clearedBefore;
        const char* line; // logged right before the waiting
    } cases[] = {
        {"pause", false, false, "waiting for key"},
        {"request wait", true, false, "Key Connected for 0 (300)"},
        {"cleared before the poll", true, true, "Key Connected for 0 (300)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.keyPresent && key) {
            key->unplug();
            ASSERT_TRUE(waitPresent(false));
        }
        if (c.keyPresent && !key->plugged()) {
            ASSERT_TRUE(key->replug());
            ASSERT_TRUE(waitPresent(true));
        }
        log.clear();
        std::atomic<bool> running{!c.clearedBefore};
        cKeyListener listener(device.get(), 300);
        listener.setRequestWaiter(&waiter);
        listener.setStopFlag(&running);
        double seconds = 0;
        ListenResult r = ListenResult::Claimed;
        std::thread poller([&] { r = poll(listener, &seconds); });
        EXPECT_TRUE(log.waitFor(c.line, 10s));
        running = false;
        poller.join();
        EXPECT_EQ(r, ListenResult::Idle);
        EXPECT_LT(seconds, 0.1 + testsupport::kSchedulingSlackSeconds) << "a pause or wait is 5 s";
        EXPECT_EQ(version, 0u);
    }
}
