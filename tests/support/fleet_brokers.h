#pragma once
// Brokers of a fleet for tests: certificates made with the openssl command, a fleet broker with a
// TLS listener from the shipped example configuration, and dock brokers whose configuration the
// shipped renderer writes. Every broker listens on 127.0.0.1 and free ports only.

#include "child_process.h"
#include "temp_dir.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

/// Test certificates in a directory of their own: one CA, the fleet broker's certificate for
/// 127.0.0.1 and localhost, client certificates by common name, and certificates of a second CA
/// that nobody trusts.
class TestPki {
public:
    struct Pair {
        std::string cert;
        std::string key;
    };

    TestPki();
    const std::string& caFile() const { return _ca.cert; }
    const Pair& server() const { return _server; }
    /// A client certificate of the CA with this common name (made once, then reused).
    Pair client(const std::string& commonName);
    /// A client certificate with this common name signed by a CA the brokers do not know.
    Pair untrusted(const std::string& commonName);

private:
    Pair makeCa(const std::string& name);
    Pair issue(const Pair& ca, const std::string& name, const std::string& commonName, const std::string& extensions);

    TempDir _dir;
    Pair _ca, _otherCa, _server;
};

/// A mosquitto run from a configuration file; stopped with SIGTERM (so that a persistent broker
/// writes its database), killed on destruction.
class MosquittoProcess {
public:
    /// `port` is the listener that start() waits for.
    MosquittoProcess(std::string configPath, int port);
    ~MosquittoProcess();
    MosquittoProcess(const MosquittoProcess&) = delete;
    MosquittoProcess& operator=(const MosquittoProcess&) = delete;

    /// Starts it and waits until the port accepts connections (throws on failure).
    void start();
    void stop();
    bool running() const { return _process != nullptr; }
    pid_t pid() const { return _process ? _process->pid() : -1; }

private:
    std::string _config;
    int _port;
    std::unique_ptr<ChildProcess> _process;
};

/// The fleet broker as examples/mosquitto-fleet.conf and its ACL file describe it: a TLS listener
/// that wants a client certificate of the test CA, and a plain listener for the fleet's own
/// server (the tests' observers). Started by the constructor.
class FleetBroker {
public:
    FleetBroker(TestPki& pki, const std::string& sourceDir);

    int tlsPort() const { return _tlsPort; }
    int plainPort() const { return _plainPort; }
    std::string log() const { return readFile(_dir.file("mosquitto.log")); }
    MosquittoProcess& process() { return *_process; }

private:
    TempDir _dir;
    int _tlsPort, _plainPort;
    std::unique_ptr<MosquittoProcess> _process;
};

/// One dock's broker, bridged to the fleet broker with a certificate whose common name is the
/// dock id, its configuration rendered by scripts/render-dock-bridge.sh. Started by the
/// constructor; stop() and start() keep its port and its persistence directory.
///
/// Its local clients log in as the shipped ACL file (examples/mosquitto-dock.acl) expects:
/// "vek-command", "keysmith" and "operator", each with a password of its own in a file, plus the
/// tests' "observer", who may read and write everything and whom test clients of its port use
/// unless told otherwise.
class DockBroker {
public:
    DockBroker(const std::string& id, TestPki& pki, const FleetBroker& fleet, const std::string& sourceDir);
    /// Bridged to the TLS listener at 127.0.0.1:fleetTlsPort, with more options for the renderer.
    DockBroker(const std::string& id, TestPki& pki, int fleetTlsPort, const std::string& sourceDir,
               const std::vector<std::string>& renderOptions);

    const std::string& id() const { return _id; }
    int port() const { return _port; }
    void start() { _process->start(); }
    void stop() { _process->stop(); }
    std::string log() const { return readFile(_dir.file("mosquitto.log")); }
    const std::string& configPath() const { return _config; }
    /// The file holding the account's password, and the password itself.
    std::string passwordFile(const std::string& account) const { return _dir.file(account + ".password"); }
    std::string password(const std::string& account) const
    {
        std::string text = readFile(passwordFile(account));
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    }

    ~DockBroker();
    DockBroker(const DockBroker&) = delete;
    DockBroker& operator=(const DockBroker&) = delete;

private:
    std::string _id;
    TempDir _dir;
    int _port;
    std::string _config;
    std::unique_ptr<MosquittoProcess> _process;
};

/// Runs a program to its end and gives its exit code and output (throws when it hangs).
struct ProgramRun {
    int status;
    std::string out;
    std::string err;
};
ProgramRun runProgram(const std::vector<std::string>& argv,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

} // namespace testsupport
