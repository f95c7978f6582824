#pragma once

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/types.h>

namespace testsupport {

/// Picks a TCP port on 127.0.0.1 that is free right now (never 1883).
int freeLoopbackPort();

/// True when something accepts TCP connections on 127.0.0.1:port.
bool portAccepts(int port);

/// True when the process has a socket listening on TCP port `port` of 127.0.0.1 (from /proc).
bool listensOn(pid_t pid, int port);

/// A real mosquitto broker on 127.0.0.1 and a free port, with a configuration of its own in a
/// temporary directory: anonymous access, TCP_NODELAY, persistence only when asked for.
/// It can be stopped and started again on the same port; it is ended by PID, and by the kernel
/// when the thread that started it ends (the test process dies, or a test started it from a
/// thread of its own: start it from the thread that lives as long as it should).
class Broker {
public:
    struct Options {
        bool persistence = false;
        /// 0: a free port, and another one when some other process takes it first. Otherwise
        /// this port or a failing start().
        int port = 0;
    };

    Broker();
    explicit Broker(Options options);
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    /// Starts the broker and waits until it listens on its port (throws on failure). A port that
    /// accepts connections is not taken for the broker's own: that could be another program
    /// listening there.
    void start();
    /// Ends the broker with SIGTERM (SIGKILL after 5 s) and reaps it.
    void stop();
    void restart()
    {
        stop();
        start();
    }

    bool running() const { return _pid > 0; }
    int port() const { return _port; }
    pid_t pid() const { return _pid; }
    const std::string& dir() const { return _dir.path(); }
    /// The broker's own log (log_dest file), for diagnosing a failing test.
    std::string log() const;
    /// The broker's log shows that the connection of this client has ended: everything the
    /// client sent has been handled by then.
    bool clientGone(const std::string& clientId) const;

private:
    enum class Launch { Listening, PortTaken };
    Launch launch();

    Options _options;
    TempDir _dir;
    int _port;
    bool _portFixed; // the port was asked for, or clients have been told it by a first start
    pid_t _pid = -1;
};

/// GoogleTest fixture: one started broker per test.
class BrokerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        broker = std::make_unique<Broker>(brokerOptions());
        broker->start();
    }
    void TearDown() override { broker.reset(); }
    virtual Broker::Options brokerOptions() const { return {}; }

    std::unique_ptr<Broker> broker;
};

} // namespace testsupport
