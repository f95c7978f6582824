#pragma once
// Shared set-up of the key listener tests: the emulated key on a testbed, the daemon's USB
// device object, a listener and a timer.

#include "tests/emulators/key_emulator.h"
#include "keysmith/key_listener.h"
#include "tests/support/log_capture.h"
#include "keysmith/signal_waiter.h"
#include "keysmith/usb_device.h"
#include "tests/support/wait.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

namespace listenertest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

class ListenerTest : public ::testing::Test {
protected:
    emulators::Testbed testbed;
    std::unique_ptr<emulators::KeyEmulator> key = std::make_unique<emulators::KeyEmulator>(testbed);
    testsupport::LogCapture log;
    std::unique_ptr<USBdevice> device = std::make_unique<USBdevice>(0x1781, 0x0B97);
    cSignalWaiter waiter;
    uint32_t version = 0xFFFFFFFF;
    uint32_t serial = 1234;

    void TearDown() override { device.reset(); } // before the emulated key goes

    /// One poll, timed.
    ListenResult poll(cKeyListener& listener, double* seconds)
    {
        const auto t0 = Clock::now();
        const ListenResult r = listener.listen(version, serial);
        *seconds = secondsSince(t0);
        return r;
    }

    /// Waits until the bus shows the key as present or absent.
    bool waitPresent(bool present)
    {
        return testsupport::waitUntil([&] { return device->isPresent() == present; });
    }
};

} // namespace listenertest
