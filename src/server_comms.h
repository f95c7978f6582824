#pragma once

#include <csignal>
#include <string>
#include <vector>

#include <log4cpp/Category.hh>

#include "src/command_handler.h"
#include "src/lua_tools/job_limits.h"
#include "src/session_keeper.h"
#include "platform/properties.h"
#include "service_client.h"

namespace vek {

/// Cleared by the termination signal handler; the network loop ends once it reads 0.
/// Defined by the program's entry module.
extern volatile sig_atomic_t program_running;

/// The directory with a trailing "/" guaranteed; only the last character is examined, so an empty
/// string becomes "/".
std::string clean_dir_path(std::string directory);

/// The broker session of the command service: reads the broker and script settings, creates the
/// one command handler, connects and drives the MQTT network loop on the calling thread until a
/// termination signal arrives.
class ServerCommunicator : private CommandHandler::JobObserver {
public:
    explicit ServerCommunicator(cProperties props);
    ~ServerCommunicator() override = default;
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
    RequestLimits read_request_limits() const;
    size_t read_size(const char* key) const;
    // While a job runs the loop makes no calls: the keeper keeps the session up meanwhile.
    void jobStarting() override;
    void jobEnded() override;
    /// Gives the client the user name and the password (read from its file) of the optional
    /// keys server_comms.username and server_comms.password_file; the user name, or null for an
    /// anonymous session. Throws std::runtime_error when the password cannot be read.
    const char* set_credentials();
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
    SessionKeeper _keeper;
    bool _unkept_reported = false; // the warning about a job without the keeper has been logged
};

} // namespace vek
