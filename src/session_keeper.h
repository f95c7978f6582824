#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <log4cpp/Category.hh>

namespace vek {

/// Keeps an MQTT session alive while the thread that drives the client runs a job and makes no
/// loop calls: between arm() and disarm() a thread of its own writes an MQTT PINGREQ to the
/// connection's socket every interval, so that the broker, which drops a client it has not heard
/// from for one and a half keep-alive periods, keeps the session. The broker's PINGRESPs wait in
/// the socket; the client library takes them as ordinary answers once the loop reads again.
///
/// The keeper writes the two bytes of the packet itself rather than through the library: the
/// library could send only one PINGREQ without reading its answer (it closes the connection when
/// the next one falls due unanswered), and reading here would take the requests that follow from
/// the thread that runs them. So the caller arms it only when the stream is at a packet boundary
/// (the library has nothing queued or half written) over plain TCP, and writes nothing to the
/// socket until disarm() has returned. The keeper's thread blocks SIGINT and SIGTERM, which stay
/// with the main thread.
class SessionKeeper {
public:
    /// interval: time from arming to the first PINGREQ and between two.
    explicit SessionKeeper(std::chrono::milliseconds interval);
    /// Stops and joins the thread.
    ~SessionKeeper();
    SessionKeeper(const SessionKeeper&) = delete;
    SessionKeeper& operator=(const SessionKeeper&) = delete;

    /// Starts pinging on the connected socket fd.
    void arm(int fd);
    /// Stops pinging; returns once no write is under way, with the number of PINGREQs sent since
    /// arm(). A PINGREQ that could not be written whole has left the stream broken: the keeper
    /// then shuts the connection down, so that the client sees it lost and connects anew.
    unsigned disarm();

private:
    enum class Ping { Sent, NotNow, Unusable };
    void run();
    // Called with _mutex held.
    Ping ping(int fd);

    log4cpp::Category& log;
    const std::chrono::milliseconds _interval;
    // Lock order: _mutex is the only lock.
    std::mutex _mutex;
    std::condition_variable _changed;
    int _fd = -1;                                 // guarded by _mutex; -1 while disarmed
    std::chrono::steady_clock::time_point _due{}; // guarded by _mutex: the next PINGREQ
    unsigned _pings = 0;                          // guarded by _mutex
    bool _stop = false;                           // guarded by _mutex
    std::thread _thread;                          // last: starts once the fields above exist
};

} // namespace vek
