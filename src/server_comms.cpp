#include "server_comms.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "command_handler.h"

namespace vek {

namespace {

using Clock = std::chrono::steady_clock;

// Connection attempts are at least this far apart, so that a missing broker does not turn the
// loop into a spin; a connection lost after a longer session is retried at once.
constexpr auto kRetryInterval = std::chrono::seconds(1);
// How long a stopping service keeps driving the client for results still in flight.
constexpr auto kDeliveryGrace = std::chrono::seconds(2);
// A loop call that waited this long saw no traffic worth waiting for: the service is idle.
constexpr auto kQuietConnection = std::chrono::milliseconds(100);
// Sleep granularity while waiting, so that a stop signal is seen promptly.
constexpr auto kPauseStep = std::chrono::milliseconds(50);

// Sleeps until `until`, or less once the stop signal has come.
void pause_until(Clock::time_point until)
{
    for (auto now = Clock::now(); program_running && now < until; now = Clock::now()) {
        const auto step = std::min<Clock::duration>(until - now, kPauseStep);
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(step).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        // An interruption by the signal is fine: the loop condition sees it.
        nanosleep(&ts, nullptr);
    }
}

} // namespace

std::string clean_dir_path(std::string directory)
{
    if (directory.empty() || directory.back() != '/')
        directory += '/';
    return directory;
}

ServerCommunicator::ServerCommunicator(cProperties props)
    : _id("command_service"), log(log4cpp::Category::getInstance("server_comms")), _props(std::move(props)),
      _client(setup_client())
{
}

ServiceClient ServerCommunicator::setup_client()
{
    tavlo::ClientSessionOptions options;
    options.client_id = _id.c_str();
    options.clean_session = true;
    options.resubscribe_on_connect = true;
    return ServiceClient(options, "server_comms");
}

void* ServerCommunicator::event_loop_thread(void* instance)
{
    static_cast<ServerCommunicator*>(instance)->start();
    return nullptr;
}

JobLimits ServerCommunicator::read_job_limits() const
{
    // A value that is present but not a whole non-negative number is refused rather than
    // silently read as "no limit".
    auto read = [this](const char* key) -> unsigned {
        if (!_props.getString(key, nullptr))
            return 0;
        const int value = _props.getInt(key, -1);
        if (value < 0)
            throw std::runtime_error(std::string(key) + " must be a whole number, 0 or more, not \"" +
                                     _props.getString(key, "") + "\"");
        return static_cast<unsigned>(value);
    };
    JobLimits limits;
    limits.time_limit_ms = read("script.time_limit_ms");
    limits.memory_limit_kb = read("script.memory_limit_kb");
    // The cap is counted in bytes in a size_t, which on a 32-bit board holds less than 4 GiB.
    constexpr size_t max_kb = std::numeric_limits<size_t>::max() / 1024;
    if (limits.memory_limit_kb > max_kb)
        throw std::runtime_error("script.memory_limit_kb must be at most " + std::to_string(max_kb) +
                                 " on this system, not " + std::to_string(limits.memory_limit_kb));
    return limits;
}

void ServerCommunicator::start()
{
    log.debug("server comms service starting");
    const char* host = _props.getString("server_comms.host", "localhost");
    const int port = _props.getInt("server_comms.port", 1883);
    const int qos = _props.getInt("server_comms.qos", 2);
    const JobLimits limits = read_job_limits();

    // Four lines; a job limit adds its own line only when it is configured.
    std::ostringstream record;
    record << "Server comms config: \n"
           << "  id   : " << _id << "\n"
           << "  host : " << host << " port: " << port << "\n"
           << "  QoS  : " << qos;
    if (limits.time_limit_ms != 0)
        record << "\n  time limit   : " << limits.time_limit_ms << " ms";
    if (limits.memory_limit_kb != 0)
        record << "\n  memory limit : " << limits.memory_limit_kb << " KiB";
    log.info(record.str());

    std::vector<std::string> search_dirs = parse_search_dirs(_props.getString("script.search_dirs", nullptr));
    const char* staging_dir = _props.getString("script.staging_dir", nullptr);
    if (!staging_dir)
        throw std::runtime_error("script.staging_dir has not been configured");

    CommandHandler handler(_id, search_dirs, staging_dir);
    handler.setJobLimits(limits);
    _client.registerHandler(&handler);

    auto last_attempt = Clock::now();
    _client.start(host, port);
    while (program_running) {
        const auto loop_start = Clock::now();
        const int status = _client.loop(1000, 1);
        if (status == MOSQ_ERR_CONN_LOST || status == MOSQ_ERR_NO_CONN) {
            pause_until(last_attempt + kRetryInterval);
            if (!program_running)
                break;
            last_attempt = Clock::now();
            _client.start(host, port);
        } else if (program_running && !handler.nextJobPrepared()) {
            prepare_when_idle(handler, Clock::now() - loop_start >= kQuietConnection);
        }
    }

    deliver_pending(handler);
    log.info("Closing server comms service");
}

void ServerCommunicator::prepare_when_idle(CommandHandler& handler, bool quiet)
{
    // The broker hands a QoS 2 result to the server only once our PUBREL reaches it, so the
    // state is opened when the last result's handshake is over (or, should a handshake never
    // end, once the connection has been quiet for a while), not between PUBLISH and PUBREL.
    if (_client.want_write())
        return;
    if (handler.published() <= _client.completed() || quiet)
        handler.prepareNextJob();
}

void ServerCommunicator::deliver_pending(const CommandHandler& handler)
{
    // A job that was running when the stop signal came has only handed its result to the client;
    // without a few more loop calls it would never reach the broker.
    const auto deadline = Clock::now() + kDeliveryGrace;
    auto outstanding = [&] {
        const unsigned long published = handler.published();
        return published > _client.completed() ? published - _client.completed() : 0;
    };
    while (_client.want_write() || outstanding() > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            log.warn("stopping with %lu result(s) not confirmed by the broker", outstanding());
            return;
        }
        const int status = _client.loop(static_cast<int>(std::min<long long>(left, 100)), 1);
        if (status == MOSQ_ERR_CONN_LOST || status == MOSQ_ERR_NO_CONN) {
            log.warn("stopping without a connection; %lu result(s) not delivered", outstanding());
            return;
        }
    }
}

std::vector<std::string> ServerCommunicator::parse_search_dirs(const char* search_dirs_str)
{
    std::vector<std::string> dirs;
    if (!search_dirs_str)
        return dirs;
    const std::string text(search_dirs_str);
    std::string::size_type pos = 0;
    for (auto i = text.find(':', pos); i != std::string::npos; i = text.find(':', pos)) {
        dirs.push_back(clean_dir_path(text.substr(pos, i - pos)));
        pos = i + 1;
    }
    dirs.push_back(clean_dir_path(text.substr(pos)));
    return dirs;
}

} // namespace vek
