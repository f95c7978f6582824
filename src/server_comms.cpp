#include "server_comms.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <limits>
#include <sstream>
#include <stdexcept>

#include <poll.h>

#include "command_handler.h"
#include "common/secret_file.h"
#include "vek_version.h"

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
// PINGREQs during a job come this often: a quarter of the client's 60 s keep-alive, so that the
// broker, which waits one and a half periods, hears from the service in time even when the
// library's own last packet went out nearly a period before the job began.
constexpr auto kKeepAliveInterval = std::chrono::seconds(15);
// How long the loop tries to send what the library holds before a job starts.
constexpr int kFlushBeforeJobMs = 2000;

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
      _client(setup_client()), _keeper(kKeepAliveInterval)
{}

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

size_t ServerCommunicator::read_size(const char* key) const
{
    // A value that is present but not a whole non-negative number is refused rather than
    // silently read as "no limit".
    if (!_props.getString(key, nullptr))
        return 0;
    const int value = _props.getInt(key, -1);
    if (value < 0)
        throw std::runtime_error(std::string(key) + " must be a whole number, 0 or more, not \"" +
                                 _props.getString(key, "") + "\"");
    return static_cast<size_t>(value);
}

RequestLimits ServerCommunicator::read_request_limits() const
{
    RequestLimits limits;
    limits.max_request_bytes = read_size("script.max_request_bytes");
    limits.max_result_bytes = read_size("script.max_result_bytes");
    return limits;
}

JobLimits ServerCommunicator::read_job_limits() const
{
    auto read = [this](const char* key) { return static_cast<unsigned>(read_size(key)); };
    JobLimits limits;
    limits.time_limit_ms = read("script.time_limit_ms");
    limits.memory_limit_kb = read("script.memory_limit_kb");
    // The cap is counted in bytes in a size_t, which on a 32-bit board holds less than 4 GiB.
    constexpr size_t max_kb = std::numeric_limits<size_t>::max() / 1024;
    if (limits.memory_limit_kb > max_kb)
        throw std::runtime_error("script.memory_limit_kb must be at most " + std::to_string(max_kb) +
                                 " on this system, not " + std::to_string(limits.memory_limit_kb));
    limits.precompiled_chunks = read("script.precompiled_chunks") != 0;
    return limits;
}

const char* ServerCommunicator::set_credentials()
{
    const char* username = _props.getString("server_comms.username", nullptr);
    const char* password_file = _props.getString("server_comms.password_file", nullptr);
    if (!username) {
        if (password_file)
            throw std::runtime_error("server_comms.password_file is set but server_comms.username is not");
        return nullptr; // an anonymous session, as without the keys
    }
    std::string password;
    if (password_file) {
        password = readSecretFile(password_file);
        if (secretFileIsWorldReadable(password_file))
            log.warn("%s can be read by every user of this machine", password_file);
    }
    const int rc = _client.username_pw_set(username, password_file ? password.c_str() : nullptr);
    if (rc != MOSQ_ERR_SUCCESS)
        throw std::runtime_error(std::string("cannot set the broker user name: ") + mosqpp::strerror(rc));
    return username;
}

void ServerCommunicator::start()
{
    log.debug("server comms service starting");
    const char* host = _props.getString("server_comms.host", "localhost");
    const int port = _props.getInt("server_comms.port", 1883);
    const int qos = _props.getInt("server_comms.qos", 2);
    const JobLimits limits = read_job_limits();
    const RequestLimits request_limits = read_request_limits();
    const char* username = set_credentials();

    // Four lines; a user name and each job limit add a line of their own only when configured.
    std::ostringstream record;
    record << "Server comms config: \n"
           << "  id   : " << _id << "\n"
           << "  host : " << host << " port: " << port << "\n"
           << "  QoS  : " << qos;
    if (username)
        record << "\n  user : " << username;
    if (limits.time_limit_ms != 0)
        record << "\n  time limit   : " << limits.time_limit_ms << " ms";
    if (limits.memory_limit_kb != 0)
        record << "\n  memory limit : " << limits.memory_limit_kb << " KiB";
    if (request_limits.max_request_bytes != 0)
        record << "\n  request limit: " << request_limits.max_request_bytes << " bytes";
    if (request_limits.max_result_bytes != 0)
        record << "\n  result limit : " << request_limits.max_result_bytes << " bytes";
    if (limits.precompiled_chunks)
        record << "\n  precompiled job scripts allowed";
    log.info(record.str());

    std::vector<std::string> search_dirs = parse_search_dirs(_props.getString("script.search_dirs", nullptr));
    const char* staging_dir = _props.getString("script.staging_dir", nullptr);
    if (!staging_dir)
        throw std::runtime_error("script.staging_dir has not been configured");

    // The will and the "online" record go with every connection from the first one on.
    _client.setStatus(DaemonStatus{VEK_VERSION,
                                   secondsNow(),
                                   {{"time_limit_ms", limits.time_limit_ms},
                                    {"memory_limit_kb", limits.memory_limit_kb},
                                    {"max_request_bytes", request_limits.max_request_bytes},
                                    {"max_result_bytes", request_limits.max_result_bytes}}});

    CommandHandler handler(_id, search_dirs, staging_dir);
    handler.setJobLimits(limits);
    handler.setRequestLimits(request_limits);
    handler.setJobObserver(this);
    _client.registerHandler(&handler);

    auto last_attempt = Clock::now();
    _client.start(host, port);
    while (program_running) {
        const auto loop_start = Clock::now();
        const int status = _client.loop(1000, 1);
        // What the loop call read runs now, outside the library's callbacks, in arrival order; a
        // stop signal ends the service once the running job is over.
        while (program_running && handler.hasPending())
            handler.runNext(_client);
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

    handler.dropPending(_client);
    _client.publishStopped();
    deliver_pending(handler);
    // A clean disconnect: the broker drops the will instead of publishing it over the record of
    // the clean stop.
    if (_client.disconnect() == MOSQ_ERR_SUCCESS)
        _client.loop(100, 1);
    log.info("Closing server comms service");
}

void ServerCommunicator::prepare_when_idle(CommandHandler& handler, bool quiet)
{
    // The broker hands a QoS 2 result to the server only once our PUBREL reaches it, so the
    // state is opened when the last result's handshake is over (or, should a handshake never
    // end, once the connection has been quiet for a while), not between PUBLISH and PUBREL.
    if (_client.want_write())
        return;
    // The status records' completions count in the client's total too.
    if (handler.published() + _client.statusPublished() <= _client.completed() || quiet)
        handler.prepareNextJob();
}

void ServerCommunicator::deliver_pending(const CommandHandler& handler)
{
    // A job that was running when the stop signal came has only handed its result to the client;
    // without a few more loop calls it would never reach the broker.
    const auto deadline = Clock::now() + kDeliveryGrace;
    auto outstanding = [&] {
        const unsigned long published = handler.published() + _client.statusPublished();
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

void ServerCommunicator::jobStarting()
{
    if (!_client.sessionUp())
        return;
    // The keeper may write only at a packet boundary: first send what the library holds (the
    // results of earlier jobs), here outside its callbacks, where it writes at once.
    const int fd = _client.socket();
    const auto deadline = Clock::now() + std::chrono::milliseconds(kFlushBeforeJobMs);
    // A connection that has failed (the broker died, the socket reports an error) is left to the
    // next loop call to notice: waiting on it here would hold up every queued job.
    while (fd >= 0 && _client.socket() == fd && _client.want_write() && Clock::now() < deadline) {
        pollfd writable{fd, POLLOUT, 0};
        if (::poll(&writable, 1, 100) > 0 && (writable.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            break;
        if (_client.loop_write() != MOSQ_ERR_SUCCESS)
            break;
    }
    if (_client.sessionUp() && _client.socket() == fd && !_client.want_write()) {
        _keeper.arm(fd);
        _unkept_reported = false;
    } else if (!_unkept_reported) {
        // Once per run of such jobs: a dead connection would otherwise log it for every one.
        log.warn("session not kept alive during the job: the connection does not take what is queued");
        _unkept_reported = true;
    }
}

void ServerCommunicator::jobEnded()
{
    const unsigned pings = _keeper.disarm();
    if (pings != 0)
        log.debug("%u keep-alive PINGREQ(s) sent during the job", pings);
}

std::vector<std::string> ServerCommunicator::parse_search_dirs(const char* search_dirs_str)
{
    std::vector<std::string> dirs;
    if (!search_dirs_str)
        return dirs;
    const std::string text(search_dirs_str);
    // An empty entry would become "/" and have the whole file system searched for scripts.
    auto add = [&](std::string dir) {
        if (dir.empty())
            log.warn("script.search_dirs: empty entry ignored");
        else
            dirs.push_back(clean_dir_path(std::move(dir)));
    };
    std::string::size_type pos = 0;
    for (auto i = text.find(':', pos); i != std::string::npos; i = text.find(':', pos)) {
        add(text.substr(pos, i - pos));
        pos = i + 1;
    }
    add(text.substr(pos));
    return dirs;
}

} // namespace vek
