#include "command_handler.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include <msgpack.hpp>

#include "common/log_text.h"
#include "common/packed_object_check.h"
#include "server_comms.h"

namespace vek {

namespace {

const char* const kNotAMap = "Expected the command request dictionary with args and lua_script entries";
const char* const kIncomplete =
    "Can't decipher message. Expected the command request dictionary with args and lua_script entries";
const char* const kRequestTooLarge = "Dock command service error. Request too large: ";
const char* const kAnswerTooLarge = "Dock command service error. Job answer too large: ";

// The zone's chunks grow from this size (msgpack-c's default).
constexpr size_t kZoneChunk = packed_zone_chunk;

bool referToPayload(msgpack::type::object_type, std::size_t, void*) { return true; }

// Largest payload an MQTT PUBLISH can carry.
constexpr size_t kMaxPayload = 268435455;

// Ends the job for the observer however the run is left.
class JobScope {
public:
    explicit JobScope(CommandHandler::JobObserver* observer) : _observer(observer)
    {
        if (_observer)
            _observer->jobStarting();
    }
    ~JobScope()
    {
        if (_observer)
            _observer->jobEnded();
    }
    JobScope(const JobScope&) = delete;
    JobScope& operator=(const JobScope&) = delete;

private:
    CommandHandler::JobObserver* _observer;
};

} // namespace

CommandHandler::CommandHandler(std::string /*controller_id*/, std::vector<std::string> search_dirs,
                               const char* staging_dir)
    : tavlo::Handler("commandHandler", "in/cmd/+", 1), _result_dest("out/cmd/"),
      _lua_agent(std::move(search_dirs), staging_dir)
{}

CommandHandler::~CommandHandler() = default;

void CommandHandler::setJobLimits(const JobLimits& limits)
{
    _job_limits = limits;
    _lua_agent.setLimits(limits);
}

void CommandHandler::onMessage(const tavlo::FilterVariables& vars, const mosquitto_message* msg,
                               tavlo::Client& /*client*/)
{
    std::string job_id = vars.get(0).value;
    if (msg->payloadlen <= 0) {
        _pending.push_back({Pending::Kind::Deregistration, std::move(job_id), {}, 0});
        return;
    }
    if (!program_running) {
        // One loop call can read several packets, and the stopping service still reads while its
        // last results go out: a job now would hold up the stop for as long as it runs.
        _log.warn("job (" + escaped(job_id) + ") not run: the service is stopping");
        return;
    }
    const auto size = static_cast<size_t>(msg->payloadlen);
    // A request over the limit is answered without a copy of its bytes.
    if (_request_limits.max_request_bytes != 0 && size > _request_limits.max_request_bytes) {
        _pending.push_back({Pending::Kind::TooLarge, std::move(job_id), {}, size});
        return;
    }
    _pending.push_back(
        {Pending::Kind::Request, std::move(job_id), std::string(static_cast<const char*>(msg->payload), size), size});
}

void CommandHandler::runNext(tavlo::Client& client)
{
    if (_pending.empty())
        return;
    const Pending pending = std::move(_pending.front());
    _pending.pop_front();
    if (pending.kind == Pending::Kind::Deregistration) {
        if (_log.isInfoEnabled())
            _log.info("server has deregistered " + escaped(pending.job_id) + " job");
        end_transaction(client, _result_dest + pending.job_id);
        return;
    }
    if (!program_running) {
        _log.warn("job (" + escaped(pending.job_id) + ") not run: the service is stopping");
        return;
    }
    runRequest(client, pending);
}

void CommandHandler::dropPending(tavlo::Client& client)
{
    while (!_pending.empty())
        runNext(client);
}

void CommandHandler::runRequest(tavlo::Client& client, const Pending& pending)
{
    const std::string& job_id = pending.job_id;
    const std::string topic = _result_dest + job_id;
    // The texts are built only when they will be written: this runs once per job.
    if (_log.isInfoEnabled())
        _log.info("Received command request, job_id: " + escaped(job_id));
    try {
        if (pending.kind == Pending::Kind::TooLarge)
            throw std::length_error(kRequestTooLarge + std::to_string(pending.size) + " bytes, at most " +
                                    std::to_string(_request_limits.max_request_bytes) + ".");
        JobResult result = decodeAndRun(job_id, pending.payload);
        const size_t answer = result.getAnswer().size();
        if (result.getStatus() && _request_limits.max_result_bytes != 0 && answer > _request_limits.max_result_bytes)
            throw std::length_error(kAnswerTooLarge + std::to_string(answer) + " bytes, at most " +
                                    std::to_string(_request_limits.max_result_bytes) + ".");
        publish_result(client, topic, result);
    } catch (const std::exception& exp) {
        _log.error("job (" + escaped(job_id) + ") request error: " + escaped(exp.what(), 0));
        JobResult failure_result(false, exp.what());
        publish_result(client, topic, failure_result);
    }
}

JobResult CommandHandler::decodeAndRun(const std::string& job_id, const std::string& payload)
{
    const char* data = payload.data();
    const size_t size = payload.size();
    // Declared sizes are checked against the bytes received before anything is allocated for
    // them; bytes after the first object are ignored. The check's depth bound is far above the
    // argument conversion's, so "args" nested too deep for it fail there, with the job runner's
    // reason, and a deep value under an ignored key does not fail the request.
    size_t elements = 0;
    check_packed_object(data, size, packed_object_max_depth, &elements);
    // The decoded request is part of the job's memory: refused here when it alone would not fit,
    // counted against the job otherwise.
    const size_t footprint = decoded_request_bytes(size, elements);
    const size_t limit_kb = _job_limits.memory_limit_kb;
    if (limit_kb != 0 && footprint / 1024 >= limit_kb)
        throw std::length_error(kRequestTooLarge + std::string("decoded it needs ") + std::to_string(footprint / 1024) +
                                " KiB, the job memory limit is " + std::to_string(limit_kb) + " KiB.");
    // The check bounds the elements by the payload's length; strings stay in the payload, which
    // outlives the job, so the zone holds only the object tree.
    msgpack::zone zone(std::min(kZoneChunk, sizeof(msgpack::object) * (size + 2)));
    const msgpack::object request = msgpack::unpack(zone, data, size, &referToPayload);
    if (request.type != msgpack::type::MAP)
        throw std::runtime_error(kNotAMap);

    std::string lua_script;
    const msgpack::object* kv_args = nullptr;
    for (uint32_t i = 0; i < request.via.map.size; ++i) {
        const msgpack::object_kv& entry = request.via.map.ptr[i];
        const std::string key = entry.key.as<std::string>();
        if (key == "lua_script")
            lua_script = entry.val.as<std::string>();
        else if (key == "args")
            kv_args = &entry.val;
    }
    if (!kv_args || lua_script.empty())
        throw std::runtime_error(kIncomplete);

    if (_log.isInfoEnabled())
        _log.info("job (" + escaped(job_id) + ") is to run lua script: " + escaped(lua_script));
    JobScope scope(_observer);
    return _lua_agent.runJob(lua_script + ".lua", *kv_args, limit_kb != 0 ? footprint : 0);
}

void CommandHandler::publish_result(tavlo::Client& client, const std::string& topic, JobResult& result)
{
    // A success goes out as the answer bytes themselves, without a copy or a buffer; a failure is
    // packed into a buffer sized for the usual short reason.
    msgpack::sbuffer buffer(result.getStatus() ? 0 : 128);
    const void* payload = nullptr;
    size_t size = 0;
    if (result.getStatus()) {
        payload = result.getAnswer().data();
        size = result.getAnswer().size();
    } else {
        msgpack::pack(buffer, result);
        payload = buffer.data();
        size = buffer.size();
    }
    // Checked before the size is narrowed to the int the client takes.
    if (size > kMaxPayload)
        throw std::length_error("job answer of " + std::to_string(size) +
                                " bytes is larger than an MQTT message can carry");
    if (_log.isInfoEnabled())
        _log.info("Publishing result "
                  " on " +
                  escaped(topic) + "\n                                Payload size: " + std::to_string(size));
    const int rc = client.publish(nullptr, topic.c_str(), static_cast<int>(size), payload, 2, true);
    if (rc != 0)
        _log.error(std::string("Failed to end transaction. ") + mosqpp::strerror(rc));
    else
        ++_published;
}

void CommandHandler::end_transaction(tavlo::Client& client, const std::string& topic)
{
    if (_log.isDebugEnabled())
        _log.debug("Ending transaction on " + escaped(topic));
    const int rc = client.publish(nullptr, topic.c_str(), 0, nullptr, 2, true);
    if (rc != 0)
        _log.error(std::string("Failed to end transaction. ") + mosqpp::strerror(rc));
    else
        ++_published;
}

} // namespace vek
