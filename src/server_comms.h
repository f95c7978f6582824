#pragma once

#include <csignal>
#include <string>
#include <vector>

#include <log4cpp/Category.hh>

#include "src/lua_tools/job_limits.h"
#include "platform/properties.h"
#include "service_client.h"

namespace vek {

class CommandHandler;

/// Cleared by the termination signal handler; the network loop ends once it reads 0.
/// Defined by the program's entry module.
extern volatile sig_atomic_t program_running;

/// The directory with a trailing "/" guaranteed; only the last character is examined, so an empty
/// string becomes "/".
std::string clean_dir_path(std::string directory);

/// The broker session of the command service: reads the broker and script settings, creates the
/// one command handler, connects and drives the MQTT network loop on the calling thread until a
/// termination signal arrives.
class ServerCommunicator {
public:
    explicit ServerCommunicator(cProperties props);
    ~ServerCommunicator() = default;
    ServerCommunicator(const ServerCommunicator&) = delete;
    ServerCommunicator& operator=(const ServerCommunicator&) = delete;

    /// Runs the service; returns after a termination signal. Throws std::runtime_error when the
    /// configuration is unusable, and whatever building the command handler throws.
    void start();
    /// Thread-entry form of start(): `instance` points at the communicator to run.
    static void* event_loop_thread(void* instance);

private:
    ServiceClient setup_client();
    std::vector<std::string> parse_search_dirs(const char* search_dirs_str);
    JobLimits read_job_limits() const;
    /// Has the handler prepare the next job's Lua state when nothing of the last result is left
    /// to send or acknowledge; `quiet`: the last loop call found no traffic for a while.
    void prepare_when_idle(CommandHandler& handler, bool quiet);
    /// Drives the client until everything the handler published has completed its QoS 2
    /// handshake, for a bounded time.
    void deliver_pending(const CommandHandler& handler);

    // _id comes before _client: the client's options point at its characters.
    std::string _id;
    log4cpp::Category& log;
    cProperties _props;
    ServiceClient _client;
};

} // namespace vek
