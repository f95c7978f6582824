#include "key_listener.h"

#include <cerrno>
#include <ctime>
#include <memory>

namespace {

/// Sleeps for the given seconds, or less when a signal arrives: the sleep is not resumed after
/// EINTR, so the daemon's stop signal shortens the pause.
void pause(int seconds)
{
    timespec ts{seconds, 0};
    nanosleep(&ts, nullptr);
}

} // namespace

cKeyListener::cKeyListener(USBdevice* device_, int claimDelay_)
    : log(log4cpp::Category::getInstance("cKeyListener")), device(device_), claimDelay(claimDelay_)
{
}

cKeyListener::~cKeyListener() = default;

void cKeyListener::setRequestWaiter(cSignalWaiter* waiter) { requestWaiter = waiter; }

void cKeyListener::resetClaim()
{
    claimed = false;
    connectedSince.reset();
}

ListenResult cKeyListener::listen(uint32_t& version, uint32_t& serial)
{
    version = 0;
    if (!device->isPresent()) {
        resetClaim();
        log.debug("waiting for key");
        pause(kPauseSeconds);
        return ListenResult::Idle;
    }

    const Clock::time_point now = Clock::now();
    if (!connectedSince)
        connectedSince = now;
    const long elapsed =
        static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - *connectedSince).count());

    if (claimed) {
        log.debugStream() << "key was claimed " << elapsed << "s ago";
    } else {
        log.debugStream() << "Key Connected for " << elapsed << " (" << claimDelay << ")";
        if (elapsed >= claimDelay) {
            log.debug("Claim delay passed");
            claimed = true;
            return ListenResult::ClaimDue;
        }
    }

    if (requestWaiter) {
        ServerRequest* raw = nullptr;
        if (requestWaiter->wait(&raw, kRequestWaitSeconds)) {
            std::unique_ptr<ServerRequest> request(raw); // ours now, whatever happens below
            if (request) {
                log.infoStream() << *request;
                version = request->version;
                serial = request->serial;
            }
            log.debugStream() << "Server sent upgrade request for key: " << serial << " to version: " << version;
            claimed = true;
            return ListenResult::RequestReceived;
        }
    }

    pause(kPauseSeconds);
    return claimed ? ListenResult::Claimed : ListenResult::Idle;
}
