#pragma once

#include "key_listener.h"
#include "key_mqtt.h"
#include "usb_device.h"

#include <atomic>
#include <cstdint>
#include <log4cpp/Category.hh>

namespace keysmith {

/// The daemon's upgrade loop, run on the main thread until the running flag falls: it polls the
/// key listener and, when a plugged key has been present for the claim delay or the server asked
/// for an upgrade, stops the link service that normally holds the key, runs one attempt with a
/// fresh cKeyUpdater and starts the link service again. Logs to the category "main".
///
/// Retry policy: `upgraded` (a successful attempt for the key now connected) keeps claim-delay
/// events from starting attempts; a server request always starts one. The attempts counter is
/// set to 3 by every idle poll and to 2 by every request, and is used up by claim-delay events,
/// which start an attempt only while it is above 0. A failed attempt makes the listener forget
/// the claim, so the key must again be present for the whole claim delay.
///
/// The stop signals reach the loop's thread only while it polls the listener (see StopSignals);
/// the caller blocks them before any other thread is started. One that comes during an attempt,
/// service commands included, is taken as the next poll begins.
class UpgradeLoop {
public:
    static constexpr int kClaimAttempts = 3;
    static constexpr int kRequestAttempts = 2;
    static constexpr const char* kStopLinkService = "sv stop moxlink";
    static constexpr const char* kStartLinkService = "sv start moxlink";

    /// Nothing is owned; everything must outlive the loop. running is cleared by the stop
    /// signal's handler.
    UpgradeLoop(USBdevice* device, cKeyListener& listener, cKeyMQTT* mqtt, const std::atomic<bool>& running);
    UpgradeLoop(const UpgradeLoop&) = delete;
    UpgradeLoop& operator=(const UpgradeLoop&) = delete;

    /// Polls and acts until the running flag is found cleared before a poll; an attempt in
    /// progress is finished first.
    void run();

private:
    void attempt();
    /// Runs a service command through the shell; its wait status as system() reports it.
    int serviceCommand(const char* command);
    void startLinkService();

    log4cpp::Category& log;
    USBdevice* device;
    cKeyListener& listener;
    cKeyMQTT* mqtt;
    const std::atomic<bool>& running;

    bool upgraded = false;
    int attemptsLeft = kClaimAttempts;
    uint32_t requestedVersion = 0;
    uint32_t requestedSerial = 0;
};

} // namespace keysmith
