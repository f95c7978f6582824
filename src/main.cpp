#include <csignal>
#include <cstring>
#include <iostream>
#include <optional>

#include <log4cpp/Category.hh>
#include <log4cpp/Configurator.hh>
#include <log4cpp/PropertyConfigurator.hh>
#include <mosquittopp.h>

#include "common/error_text.h"
#include "cached_pattern_layout.h"
#include "platform/properties.h"
#include "server_comms.h"

namespace vek {
volatile sig_atomic_t program_running = 1;
}

void term_handler(int) { vek::program_running = 0; }

bool register_signal_handler(int sig_num, void (*handler)(int))
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the wait inside the network loop must end early when the signal comes.
    action.sa_flags = 0;
    if (sigaction(sig_num, &action, nullptr) != 0) {
        log4cpp::Category::getRoot().error("sigaction: %s", vek::errorText(errno).c_str());
        return false;
    }
    return true;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << (argc > 0 ? argv[0] : "vek-command") << " expects the path to the config file to be provided."
                  << std::endl;
        return 1;
    }
    const char* config_file_path = argv[1];
    cProperties props;
    if (!props.load(config_file_path)) {
        std::cerr << "Config file: " << config_file_path << " failed to load." << std::endl;
        return 1;
    }
    try {
        log4cpp::PropertyConfigurator::configure(config_file_path);
    } catch (const log4cpp::ConfigureFailure& e) {
        // The log is what failed, so this can only go to the standard error stream.
        std::cerr << "Config file: " << config_file_path
                  << " has a logging configuration that log4cpp rejects: " << e.what() << std::endl;
        return 1;
    }
    // Same records, written for a fraction of PatternLayout's cost: four INFO lines per job.
    vek::use_cached_pattern_layouts();
    log4cpp::Category& log = log4cpp::Category::getRoot();

    if (!register_signal_handler(SIGINT, term_handler) || !register_signal_handler(SIGTERM, term_handler))
        return 1;

    log.debug("Initialising mosquitto");
    int rc = mosqpp::lib_init();
    if (rc != 0) {
        log.error("Couldn't init mosquitto. %s", mosqpp::strerror(rc));
        return 1;
    }

    int status = 0;
    // Destroyed as main returns, after the library clean-up, like the client it holds.
    std::optional<vek::ServerCommunicator> comms;
    try {
        comms.emplace(props);
        comms->start();
    } catch (const std::exception& e) {
        std::cerr << argv[0] << ": cannot run the command service: " << e.what() << std::endl;
        log.error("cannot run the command service: %s", e.what());
        status = 1;
    }

    log.debug("Cleaning up mosquitto");
    rc = mosqpp::lib_cleanup();
    if (rc != 0) {
        log.error("Couldn't cleanup mosquitto on exit. %s", mosqpp::strerror(rc));
        status = 1;
    } else {
        log.debug("Cleanup done");
    }
    return status;
}
