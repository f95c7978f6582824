#include "upgrade_loop.h"

#include "key_binary.h"
#include "key_updater.h"
#include "service_command.h"
#include "stop_signals.h"
#include "platform/tracelog.h"
#include "updater_exception.h"

#include <limits>

namespace keysmith {

UpgradeLoop::UpgradeLoop(USBdevice* device_, cKeyListener& listener_, cKeyMQTT* mqtt_,
                         const std::atomic<bool>& running_)
    : log(cTracelog::getLog("main")), device(device_), listener(listener_), mqtt(mqtt_), running(running_)
{}

void UpgradeLoop::run()
{
    for (;;) {
        ListenResult result = ListenResult::Claimed;
        {
            // A signal that came during the last attempt is handled as the block lifts, so the
            // test below sees it before another poll begins.
            StopSignals::Open signals;
            if (!running)
                break;
            result = listener.listen(requestedVersion, requestedSerial);
        }

        switch (result) {
        case ListenResult::Idle:
            requestedVersion = 0;
            upgraded = false;
            attemptsLeft = kClaimAttempts;
            break;
        case ListenResult::ClaimDue: {
            if (upgraded)
                break;
            const bool due = attemptsLeft > 0;
            if (attemptsLeft > std::numeric_limits<int>::min())
                --attemptsLeft;
            if (due)
                attempt();
            break;
        }
        case ListenResult::RequestReceived:
            attemptsLeft = kRequestAttempts;
            attempt();
            break;
        default: // Claimed, or anything else: nothing new
            break;
        }
    }
    log.info("Stop listening");
}

void UpgradeLoop::attempt()
{
    log.debug("Stop MOXlink and claiming key");
    if (serviceCommand(kStopLinkService) != 0)
        log.error("Could not stop moxlink");

    try {
        cKeyUpdater updater(device);
        switch (updater.upgrade(mqtt, requestedVersion, requestedSerial)) {
        case UpgradeResult::Unverified:
            log.debug("Upgrade unverified");
            upgraded = false;
            break;
        case UpgradeResult::Success:
            log.debug("Upgrade success");
            upgraded = true;
            break;
        case UpgradeResult::Failed:
            log.error("Upgrade failed, retry...");
            listener.resetClaim();
            upgraded = false;
            break;
        default: upgraded = false; break;
        }
    } catch (const cKeyBinaryException& e) {
        log.error("Binaries missing: %s", e.what());
        upgraded = false;
    } catch (const cKeyUpdaterException& e) {
        log.error("Upgrade failed: %s", e.what());
        listener.resetClaim();
        upgraded = false;
    } catch (...) {
        // Not ours to handle, and it ends the daemon; the key goes back to the link service first.
        startLinkService();
        throw;
    }
    startLinkService();
}

void UpgradeLoop::startLinkService()
{
    log.debug("Starting MOXlink again");
    serviceCommand(kStartLinkService);
}

int UpgradeLoop::serviceCommand(const char* command)
{
    // The stop signals stay blocked meanwhile: one that comes while sv runs waits, pending,
    // for the loop's next test.
    return runServiceCommand(command);
}

} // namespace keysmith
