#include "fleet_brokers.h"

#include "broker.h"
#include "mqtt_test_client.h"

#include <csignal>
#include <random>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#ifndef MOSQUITTO_BROKER
#define MOSQUITTO_BROKER "/usr/sbin/mosquitto"
#endif
#ifndef MOSQUITTO_PASSWD
#define MOSQUITTO_PASSWD "/usr/bin/mosquitto_passwd"
#endif
#ifndef OPENSSL_PROGRAM
#define OPENSSL_PROGRAM "/usr/bin/openssl"
#endif

namespace testsupport {

namespace {

void openssl(std::vector<std::string> args)
{
    args.insert(args.begin(), OPENSSL_PROGRAM);
    const auto run = runProgram(args);
    if (run.status != 0)
        throw std::runtime_error("openssl " + args.at(1) + " failed: " + run.err);
}

// Everything from `from` up to the end of its line replaced by `to`; throws when it is missing,
// so that a change of the example shows here.
void replaceLine(std::string& text, const std::string& from, const std::string& to)
{
    const auto at = text.find(from);
    if (at == std::string::npos)
        throw std::runtime_error("the fleet example has no line \"" + from + "\"");
    const auto end = text.find('\n', at);
    text.replace(at, end == std::string::npos ? std::string::npos : end - at, to);
}

// A password nobody guesses: 24 hex digits.
std::string freshPassword()
{
    static std::random_device seed;
    static std::mt19937_64 random(seed());
    char text[25];
    std::snprintf(text, sizeof text, "%08x%016llx", static_cast<unsigned>(random() & 0xffffffffu),
                  static_cast<unsigned long long>(random()));
    return text;
}

// As root the broker would switch to its own user and lose access to the test's directory.
std::string runAsCaller() { return ::geteuid() == 0 ? "user root\n" : ""; }

} // namespace

ProgramRun runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout)
{
    ChildProcess child(argv);
    const auto status = child.waitExitCode(timeout);
    if (!status)
        throw std::runtime_error(argv.at(0) + " did not end");
    return {*status, child.stdoutText(), child.stderrText()};
}

// --- TestPki --------------------------------------------------------------------------------

TestPki::TestPki()
{
    // A broker that runs as its own user (not root) reads the files here.
    ::chmod(_dir.path().c_str(), 0755);
    _ca = makeCa("ca");
    _otherCa = makeCa("other-ca");
    _server = issue(_ca, "server", "localhost", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
}

TestPki::Pair TestPki::makeCa(const std::string& name)
{
    Pair ca{_dir.file(name + ".crt"), _dir.file(name + ".key")};
    // EC keys: made in milliseconds, also under a sanitizer's load.
    openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", ca.key,
             "-out", ca.cert, "-days", "2", "-subj", "/CN=vek test " + name});
    return ca;
}

TestPki::Pair TestPki::issue(const Pair& ca, const std::string& name, const std::string& commonName,
                             const std::string& extensions)
{
    Pair pair{_dir.file(name + ".crt"), _dir.file(name + ".key")};
    if (fileExists(pair.cert))
        return pair;
    const std::string csr = _dir.file(name + ".csr");
    openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", pair.key, "-out",
             csr, "-subj", "/CN=" + commonName});
    std::vector<std::string> sign{"x509", "-req",    "-in",   csr, "-CA", ca.cert, "-CAkey", ca.key, "-CAcreateserial",
                                  "-out", pair.cert, "-days", "2"};
    if (!extensions.empty()) {
        sign.push_back("-extfile");
        sign.push_back(_dir.write(name + ".ext", extensions));
    }
    openssl(sign);
    // The broker may run as another user than the one that made the files.
    ::chmod(pair.key.c_str(), 0644);
    return pair;
}

TestPki::Pair TestPki::client(const std::string& commonName)
{
    return issue(_ca, "client-" + commonName, commonName, "");
}

TestPki::Pair TestPki::untrusted(const std::string& commonName)
{
    return issue(_otherCa, "untrusted-" + commonName, commonName, "");
}

// --- MosquittoProcess -----------------------------------------------------------------------

MosquittoProcess::MosquittoProcess(std::string configPath, int port) : _config(std::move(configPath)), _port(port) {}

MosquittoProcess::~MosquittoProcess() = default;

void MosquittoProcess::start()
{
    if (_process)
        return;
    _process = std::make_unique<ChildProcess>(std::vector<std::string>{MOSQUITTO_BROKER, "-c", _config});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!_process->running()) {
            const std::string err = _process->stderrText() + _process->stdoutText();
            _process.reset();
            throw std::runtime_error("mosquitto -c " + _config + " ended at start-up:\n" + err);
        }
        if (portAccepts(_port))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    _process.reset();
    throw std::runtime_error("mosquitto -c " + _config + " does not accept connections on " + std::to_string(_port));
}

void MosquittoProcess::stop()
{
    if (!_process)
        return;
    _process->signal(SIGTERM);
    _process->wait(std::chrono::seconds(10)); // killed by the destructor otherwise
    _process.reset();
}

// --- FleetBroker ----------------------------------------------------------------------------

FleetBroker::FleetBroker(TestPki& pki, const std::string& sourceDir)
    : _tlsPort(freeLoopbackPort()), _plainPort(freeLoopbackPort())
{
    while (_plainPort == _tlsPort)
        _plainPort = freeLoopbackPort();
    std::string conf = readFile(sourceDir + "/examples/mosquitto-fleet.conf");
    const std::string acl = readFile(sourceDir + "/examples/mosquitto-fleet.acl");
    if (conf.empty() || acl.empty())
        throw std::runtime_error("cannot read the fleet broker example in " + sourceDir + "/examples");
    replaceLine(conf, "listener 8883", "listener " + std::to_string(_tlsPort) + " 127.0.0.1");
    replaceLine(conf, "cafile ", "cafile " + pki.caFile());
    replaceLine(conf, "certfile ", "certfile " + pki.server().cert);
    replaceLine(conf, "keyfile ", "keyfile " + pki.server().key);
    replaceLine(conf, "listener 1883 127.0.0.1", "listener " + std::to_string(_plainPort) + " 127.0.0.1");
    replaceLine(conf, "acl_file ", "acl_file " + _dir.write("fleet.acl", acl));
    replaceLine(conf, "persistence_location ", "persistence_location " + _dir.path() + "/");
    const std::string path = _dir.write(
        "mosquitto.conf", runAsCaller() + "log_dest file " + _dir.file("mosquitto.log") + "\nlog_type all\n" + conf);
    _process = std::make_unique<MosquittoProcess>(path, _tlsPort);
    _process->start();
}

// --- DockBroker -----------------------------------------------------------------------------

DockBroker::DockBroker(const std::string& id, TestPki& pki, const FleetBroker& fleet, const std::string& sourceDir)
    : DockBroker(id, pki, fleet.tlsPort(), sourceDir, {})
{}

DockBroker::DockBroker(const std::string& id, TestPki& pki, int fleetTlsPort, const std::string& sourceDir,
                       const std::vector<std::string>& renderOptions)
    : _id(id), _port(freeLoopbackPort())
{
    const auto cert = pki.client(id);
    ::mkdir(_dir.file("data").c_str(), 0755);
    // The accounts: one password file per client, and the broker's file of their hashes.
    const std::string passwd = _dir.write("passwd", "");
    for (const char* account : {"vek-command", "keysmith", "operator", "observer"}) {
        const std::string password = freshPassword();
        _dir.write(std::string(account) + ".password", password + "\n");
        ::chmod(passwordFile(account).c_str(), 0600);
        const auto added = runProgram({MOSQUITTO_PASSWD, "-b", passwd, account, password});
        if (added.status != 0)
            throw std::runtime_error("mosquitto_passwd failed: " + added.err + added.out);
    }
    ::chmod(passwd.c_str(), 0644); // a broker that runs as its own user reads it
    const std::string acl = readFile(sourceDir + "/examples/mosquitto-dock.acl");
    if (acl.empty())
        throw std::runtime_error("cannot read examples/mosquitto-dock.acl in " + sourceDir);
    const std::string aclFile =
        _dir.write("dock.acl", acl + "\n# The tests' observer.\nuser observer\ntopic readwrite #\n");
    std::vector<std::string> render{"/bin/bash",       sourceDir + "/scripts/render-dock-bridge.sh",
                                    "--dock",          id,
                                    "--fleet",         "127.0.0.1:" + std::to_string(fleetTlsPort),
                                    "--cafile",        pki.caFile(),
                                    "--cert",          cert.cert,
                                    "--key",           cert.key,
                                    "--local-port",    std::to_string(_port),
                                    "--data-dir",      _dir.file("data"),
                                    "--log-dest",      "file " + _dir.file("mosquitto.log"),
                                    "--password-file", passwd,
                                    "--acl-file",      aclFile};
    render.insert(render.end(), renderOptions.begin(), renderOptions.end());
    const auto rendered = runProgram(render);
    if (rendered.status != 0)
        throw std::runtime_error("render-dock-bridge.sh failed: " + rendered.err);
    _config = _dir.write("mosquitto.conf", runAsCaller() + "log_type all\n" + rendered.out);
    registerLogin(_port, "observer", password("observer"));
    _process = std::make_unique<MosquittoProcess>(_config, _port);
    _process->start();
}

DockBroker::~DockBroker() { unregisterLogin(_port); }

} // namespace testsupport
