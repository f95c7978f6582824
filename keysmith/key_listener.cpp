#include "key_listener.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>

namespace {

// How often a pause looks at the stop flag.
constexpr auto kStopCheck = std::chrono::milliseconds(100);

/// Sleeps for the duration, or less when a signal arrives: the sleep is not resumed after
/// EINTR, so the daemon's stop signal shortens the pause.
void sleepFor(std::chrono::nanoseconds d)
{
    const auto ns = d.count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    nanosleep(&ts, nullptr);
}

} // namespace

cKeyListener::cKeyListener(USBdevice* device_, int claimDelay_)
    : log(log4cpp::Category::getInstance("cKeyListener")), device(device_), claimDelay(claimDelay_)
{}

cKeyListener::~cKeyListener() = default;

void cKeyListener::setRequestWaiter(cSignalWaiter* waiter) { requestWaiter = waiter; }

void cKeyListener::setStopFlag(const std::atomic<bool>* running) { stopFlag = running; }

void cKeyListener::pause(int seconds)
{
    if (!stopFlag) {
        sleepFor(std::chrono::seconds(seconds));
        return;
    }
    // In slices: a signal that came just before the sleep began would not cut it short.
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    for (auto now = Clock::now(); stopFlag->load() && now < end; now = Clock::now())
        sleepFor(std::min<Clock::duration>(end - now, kStopCheck));
}

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
        const bool handedOver = stopFlag ? requestWaiter->wait(&raw, kRequestWaitSeconds, *stopFlag)
                                         : requestWaiter->wait(&raw, kRequestWaitSeconds);
        if (handedOver) {
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
