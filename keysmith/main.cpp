// keysmith, the key update daemon: start-up, the upgrade loop and shutdown.
#include "platform/config.h"
#include "common/secret_file.h"
#include "key_binary.h"
#include "key_listener.h"
#include "key_mqtt.h"
#include "stop_signals.h"
#include "platform/tracelog.h"
#include "upgrade_loop.h"
#include "usb_device.h"
#include "vek_version.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <pthread.h>
#include <string>

namespace {

constexpr const char* kVersion = VEK_VERSION;
constexpr const char* kDefaultConfig = "/etc/vek/keysmith.conf";
constexpr uint16_t kKeyVendorId = 0x1781;
constexpr uint16_t kKeyProductId = 0x0B97;
constexpr const char* kClientId = "Vondra";

// Cleared by the stop signal's handler, read by the loop: a lock-free atomic is safe to write
// from a handler.
std::atomic<bool> running{true};
static_assert(std::atomic<bool>::is_always_lock_free, "the running flag is written by a signal handler");

// Only the flag: the loop logs the stop, since logging takes locks a handler must not take.
void onStopSignal(int) { running.store(false); }

log4cpp::Category& mainLog()
{
    static log4cpp::Category& log = cTracelog::getLog("main");
    return log;
}

void logBanner()
{
    const std::string rule(51, '#');
    mainLog().info(rule);
    mainLog().info(std::string("#       Started MOX Key Update Daemon ") + kVersion + "       #");
    mainLog().info(std::string("#          Build: ") + __DATE__ + " - " + __TIME__ + "          #");
    mainLog().info(rule);
    mainLog().info(std::string());
}

/// Threads of this process right now (the "Threads:" line of /proc/self/status); 0 when unknown.
int threadCount()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0)
            return std::atoi(line.c_str() + 8);
    return 0;
}

/// The broker login of the optional keys vek.broker.username and vek.broker.password_file;
/// none without a user name. Throws std::runtime_error when the password cannot be read.
std::optional<cKeyMQTT::Login> brokerLogin()
{
    const char* username = cConfig::getString("vek.broker.username", nullptr);
    const char* passwordFile = cConfig::getString("vek.broker.password_file", nullptr);
    if (!username) {
        if (passwordFile)
            throw std::runtime_error("vek.broker.password_file is set but vek.broker.username is not");
        return std::nullopt;
    }
    cKeyMQTT::Login login{username, std::nullopt};
    if (passwordFile) {
        login.password = vek::readSecretFile(passwordFile);
        if (vek::secretFileIsWorldReadable(passwordFile))
            mainLog().warn("%s can be read by every user of this machine", passwordFile);
    }
    return login;
}

/// Everything with a destructor lives and dies in here, before the main thread exits.
void runDaemon(const std::optional<cKeyMQTT::Login>& login)
{
    // Said once here, so that a site sees in the log whether its firmware stores are signed.
    cKeyBinary::reportTrust();
    auto device = std::make_unique<USBdevice>(kKeyVendorId, kKeyProductId);
    cKeyListener listener(device.get(), cConfig::getInt("ConnectionTime", 300));
    cKeyMQTT* mqtt = cKeyMQTT::getInstance(kClientId, cConfig::getString("vek.broker", "127.0.0.1"),
                                           cConfig::getInt("vek.broker.port", cKeyMQTT::kDefaultPort), login);
    listener.setRequestWaiter(&mqtt->requestWaiter);
    listener.setStopFlag(&running); // a stop cuts the listener's waiting short

    keysmith::UpgradeLoop(device.get(), listener, mqtt, running).run();

    device.reset();
    mainLog().info("DONE\n");
    cKeyMQTT::destroyInstance();
}

} // namespace

int main(int argc, char** argv)
{
    if (!keysmith::StopSignals::install(onStopSignal)) {
        std::perror("sigaction");
        return -9;
    }
    // Before any thread exists: every thread started from here on inherits the block, so the
    // stop signals land in the main thread only.
    keysmith::StopSignals::block();

    const char* path = argc > 1 ? argv[1] : kDefaultConfig;
    if (!cConfig::load(path)) {
        std::printf("log4cpp: Could not load configuration file \"%s\"", path);
        return -1;
    }
    cTracelog::init(path);
    logBanner();

    std::optional<cKeyMQTT::Login> login;
    try {
        login = brokerLogin();
    } catch (const std::exception& e) {
        // Without it every connection would be refused: better a clear end than a silent retry.
        mainLog().error("Cannot log in to the broker: %s", e.what());
        return -1;
    }
    runDaemon(login);
    // Every thread the daemon started has been joined: as the last thread, the main thread ends
    // the process with status 0. A thread the daemon did not start (a sanitizer's runtime keeps
    // one) would keep the process alive after pthread_exit; it ends with the process instead.
    if (threadCount() == 1)
        pthread_exit(nullptr);
    return 0;
}
