#pragma once

#include "signal_waiter.h"
#include "usb_device.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <log4cpp/Category.hh>
#include <optional>

/// What one poll of the key listener found; the upgrade loop acts on it.
enum class ListenResult : int {
    Idle = 0,            ///< no key, or a key that is neither claimed nor requested yet
    ClaimDue = 1,        ///< the claim delay has just passed: the key is now claimed
    RequestReceived = 2, ///< the server asked for an upgrade: version and serial are set
    Claimed = 3,         ///< the key is present and already claimed; nothing new
};

/// Tells the upgrade loop when to act: one listen() is one poll that checks whether the key
/// is on the bus, claims it once it has been there for the claim delay (which leaves the link
/// service time to deal with a freshly plugged key), and otherwise waits a few seconds for an
/// upgrade request from the server. Logs to the category "cKeyListener".
///
/// A poll takes about 5 s without a key, about 10 s with a key and nothing happening (5 s of
/// waiting for a request, 5 s of pause); ClaimDue and RequestReceived come back at once. A
/// signal delivered to the polling thread (handler installed without SA_RESTART) cuts a pause
/// short; with a stop flag set, clearing it (as the stop signal's handler does) cuts both the
/// pause and the wait for a request short within about a tenth of a second, whenever the
/// signal comes. Not thread-safe: one thread polls.
class cKeyListener {
public:
    static constexpr int kPauseSeconds = 5;
    static constexpr int kRequestWaitSeconds = 5;

    /// The device is not owned and must outlive the listener. claimDelay in seconds; 0 or
    /// less claims on the first poll that finds the key.
    cKeyListener(USBdevice* device, int claimDelay);
    virtual ~cKeyListener();
    cKeyListener(const cKeyListener&) = delete;
    cKeyListener& operator=(const cKeyListener&) = delete;

    /// Where server requests are handed over (not owned; null: requests are never received).
    void setRequestWaiter(cSignalWaiter* waiter);
    /// The daemon's running flag (not owned; null: none). A poll that finds it cleared ends
    /// its waiting at once and returns as after a quiet wait.
    void setStopFlag(const std::atomic<bool>* running);
    /// One poll. version is set to 0 first; on RequestReceived version and serial come from
    /// the request (a hand-over without a request object leaves serial as it was).
    ListenResult listen(uint32_t& version, uint32_t& serial);
    /// Forgets the claim and the presence: a key that stays plugged in starts a new claim
    /// delay counted from the next poll.
    void resetClaim();

private:
    using Clock = std::chrono::steady_clock;

    log4cpp::Category& log;
    USBdevice* device;
    // When the key was first seen in the current presence; empty while absent. Measured on the
    // monotonic clock, so that setting the wall clock back cannot postpone a claim.
    std::optional<Clock::time_point> connectedSince;
    int claimDelay;
    /// Sleeps for the pause, less when a signal or the stop flag cuts it short.
    void pause(int seconds);

    cSignalWaiter* requestWaiter = nullptr;
    const std::atomic<bool>* stopFlag = nullptr;
    bool claimed = false;
};
