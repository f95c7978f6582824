#pragma once

#include "orxio_out.h"

#include <chrono>
#include <condition_variable>
#include <log4cpp/Category.hh>
#include <memory>
#include <mutex>
#include <thread>

/// A green and a red board pin driven together as one indicator with four states:
///   0: both at their reference levels (resting)
///   1: green at reference, red opposite
///   2: green opposite, red at reference
///   3: blinking: state 1 for 100 ms, then state 2 for 100 ms, from a thread of its own
/// It blinks from the moment it exists and returns both pins to rest when it goes. Failures to
/// start the blink thread are logged to the category "cLED".
///
/// set() and the destructor are to be called from one thread at a time; both stop the blink
/// thread and join it before they write, so once they return no other thread touches the pins.
class cLED {
public:
    static constexpr std::chrono::milliseconds kBlinkPhase{100};

    /// Takes both pins; a missing (null) pin means no state change writes anything.
    cLED(std::unique_ptr<cORXIOout> green, std::unique_ptr<cORXIOout> red);
    /// Stops blinking, sets state 0 and closes both pins.
    virtual ~cLED();
    cLED(const cLED&) = delete;
    cLED& operator=(const cLED&) = delete;

    /// State 3 starts blinking unless it already blinks. Any other state stops blinking first;
    /// 0, 1 and 2 are then applied, other values only stop it.
    void set(int state);

private:
    void apply(int state);
    void stopBlinking();
    void blinkLoop() noexcept;
    /// Waits until the deadline; false when a stop was requested meanwhile.
    bool pauseUntil(std::chrono::steady_clock::time_point deadline);

    log4cpp::Category& log;
    // The pins are used by the blink thread while it runs and by the caller of set() only
    // when it does not (it is joined first), so they need no lock.
    std::unique_ptr<cORXIOout> green;
    std::unique_ptr<cORXIOout> red;

    std::mutex stopMutex;               // guards stopRequested only
    std::condition_variable stopSignal; // wakes the blink thread out of its pause
    bool stopRequested = false;         // guarded by stopMutex
    std::thread blinker;                // started and joined by the caller of set() only
};
