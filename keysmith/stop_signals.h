#pragma once

#include <csignal>

namespace keysmith {

/// SIGINT and SIGTERM, the daemon's stop signals, and where they may land.
///
/// The handler is installed without SA_RESTART, so a signal that lands in the main thread's pause
/// (the key listener's sleep) cuts it short. To make it land there, the main thread blocks both
/// signals before it starts any thread: every thread started afterwards (the USB library's event
/// thread, the MQTT network thread, the USB reader and the LED blink thread of an attempt) inherits
/// the block and never takes them. The main thread opens them only while it polls the listener, so
/// a signal that arrives during an attempt (its service commands included) waits, pending, until
/// the attempt is over, and no call inside an attempt is broken off by EINTR.
class StopSignals {
public:
    using Handler = void (*)(int);

    /// Installs the handler for SIGINT, then SIGTERM (empty mask, no flags). False, with errno
    /// set, when either cannot be installed.
    static bool install(Handler handler);
    /// Blocks both signals in the calling thread; threads it starts from now on inherit that.
    static void block();
    /// Lets both signals reach the calling thread again; a pending one is handled at once.
    static void unblock();

    /// Both signals reach the calling thread while this lives; blocked again afterwards.
    class Open {
    public:
        Open() { unblock(); }
        ~Open() { block(); }
        Open(const Open&) = delete;
        Open& operator=(const Open&) = delete;
    };
};

} // namespace keysmith
