#include "session_keeper.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>

#include "common/error_text.h"

namespace vek {

namespace {

// An MQTT PINGREQ: packet type 12, no flags, no remaining bytes (the same in every version).
constexpr unsigned char kPingReq[2] = {0xc0, 0x00};
// How long the second byte of a PINGREQ may take to fit into the socket.
constexpr int kCompleteWriteMs = 1000;

} // namespace

SessionKeeper::SessionKeeper(std::chrono::milliseconds interval)
    : log(log4cpp::Category::getInstance("server_comms")), _interval(interval)
{
    // The new thread inherits the mask: the termination signals must interrupt the main
    // thread's wait in the network loop, not land here.
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    _thread = std::thread(&SessionKeeper::run, this);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

SessionKeeper::~SessionKeeper()
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _stop = true;
    }
    _changed.notify_all();
    _thread.join();
}

void SessionKeeper::arm(int fd)
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _fd = fd;
        _pings = 0;
        _due = std::chrono::steady_clock::now() + _interval;
    }
    _changed.notify_all();
}

unsigned SessionKeeper::disarm()
{
    // A write happens with the lock held, so once it is ours no write is under way.
    std::lock_guard<std::mutex> lock(_mutex);
    _fd = -1;
    return _pings;
}

void SessionKeeper::run()
{
    std::unique_lock<std::mutex> lock(_mutex);
    while (!_stop) {
        if (_fd < 0) {
            _changed.wait_for(lock, std::chrono::hours(1));
            continue;
        }
        if (std::chrono::steady_clock::now() < _due) {
            _changed.wait_until(lock, _due);
            continue;
        }
        switch (ping(_fd)) {
        case Ping::Sent: ++_pings; break;
        case Ping::NotNow: break;
        case Ping::Unusable: _fd = -1; break;
        }
        _due += _interval;
    }
}

SessionKeeper::Ping SessionKeeper::ping(int fd)
{
    size_t written = 0;
    while (written < sizeof kPingReq) {
        const ssize_t n = ::send(fd, kPingReq + written, sizeof kPingReq - written, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        const int err = errno;
        if (n < 0 && err == EINTR)
            continue;
        if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
            if (written == 0) {
                // Nothing went out, so the stream is intact; the broker is not reading, and the
                // next attempt comes an interval later.
                log.debug("keep-alive: the socket takes no PINGREQ now");
                return Ping::NotNow;
            }
            pollfd waiting{fd, POLLOUT, 0};
            if (::poll(&waiting, 1, kCompleteWriteMs) > 0)
                continue;
        }
        if (written == 0) {
            // The connection has failed; the loop sees that once the job is over.
            log.debug("keep-alive: PINGREQ not sent: %s", errorText(err).c_str());
            return Ping::Unusable;
        }
        log.error("keep-alive: PINGREQ cut short (%s); closing the connection", errorText(err).c_str());
        ::shutdown(fd, SHUT_RDWR);
        return Ping::Unusable;
    }
    return Ping::Sent;
}

} // namespace vek
