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

/// A real mosquitto broker on 127.0.0.1 and a free port, with a configuration of its own in a
/// temporary directory: anonymous access, TCP_NODELAY, persistence only when asked for.
/// It can be stopped and started again on the same port; it is ended by PID.
class Broker {
public:
    struct Options {
        bool persistence = false;
    };

    Broker();
    explicit Broker(Options options);
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    /// Starts the broker and waits until it accepts connections (throws on failure).
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

private:
    Options _options;
    TempDir _dir;
    int _port;
    pid_t _pid = -1;
};

/// GoogleTest fixture: one started broker per test.
class BrokerTest : public ::testing::Test {
protected:
    void SetUp() override { broker = std::make_unique<Broker>(brokerOptions()); broker->start(); }
    void TearDown() override { broker.reset(); }
    virtual Broker::Options brokerOptions() const { return {}; }

    std::unique_ptr<Broker> broker;
};

} // namespace testsupport
