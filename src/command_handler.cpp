#include "command_handler.h"

#include <algorithm>
#include <stdexcept>

#include <msgpack.hpp>

#include "common/packed_object_check.h"
#include "server_comms.h"

namespace vek {

namespace {

const char* const kNotAMap = "Expected the command request dictionary with args and lua_script entries";
const char* const kIncomplete =
    "Can't decipher message. Expected the command request dictionary with args and lua_script entries";

// Largest memory chunk for a request's object tree (msgpack-c's default chunk size).
constexpr size_t kZoneChunk = 8192;

bool referToPayload(msgpack::type::object_type, std::size_t, void*) { return true; }

// Largest payload an MQTT PUBLISH can carry.
constexpr size_t kMaxPayload = 268435455;

} // namespace

CommandHandler::CommandHandler(std::string /*controller_id*/, std::vector<std::string> search_dirs,
                               const char* staging_dir)
    : tavlo::Handler("commandHandler", "in/cmd/+", 1), _result_dest("out/cmd/"),
      _lua_agent(std::move(search_dirs), staging_dir)
{
}

CommandHandler::~CommandHandler() = default;

void CommandHandler::onMessage(const tavlo::FilterVariables& vars, const mosquitto_message* msg,
                               tavlo::Client& client)
{
    const std::string job_id = vars.get(0).value;
    const std::string topic = _result_dest + job_id;
    if (msg->payloadlen <= 0) {
        if (_log.isInfoEnabled())
            _log.info("server has deregistered " + job_id + " job");
        end_transaction(client, topic);
        return;
    }
    if (!program_running) {
        // One loop call can read several packets, and the stopping service still reads while its
        // last results go out: a job now would hold up the stop for as long as it runs.
        _log.warn("job (" + job_id + ") not run: the service is stopping");
        return;
    }
    // The texts are built only when they will be written: this runs once per job.
    if (_log.isInfoEnabled())
        _log.info("Received command request, job_id: " + job_id);
    try {
        const char* data = static_cast<const char*>(msg->payload);
        const auto size = static_cast<size_t>(msg->payloadlen);
        // Declared sizes are checked against the bytes received before anything is allocated
        // for them; bytes after the first object are ignored. The check's depth bound is far
        // above the argument conversion's, so "args" nested too deep for it fail there, with the
        // job runner's reason, and a deep value under an ignored key does not fail the request.
        check_packed_object(data, size);
        // The check bounds the elements by the payload's length; strings stay in the payload,
        // which outlives the job, so the zone holds only the object tree.
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
            _log.info("job (" + job_id + ") is to run lua script: " + lua_script);
        JobResult result = _lua_agent.runJob(lua_script + ".lua", *kv_args);
        publish_result(client, topic, result);
    } catch (const std::exception& exp) {
        _log.error("job (" + job_id + ") request error: " + exp.what());
        JobResult failure_result(false, exp.what());
        publish_result(client, topic, failure_result);
    }
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
        _log.info("Publishing result " " on " + topic + "\n                                Payload size: " +
                  std::to_string(size));
    const int rc = client.publish(nullptr, topic.c_str(), static_cast<int>(size), payload, 2, true);
    if (rc != 0)
        _log.error(std::string("Failed to end transaction. ") + mosqpp::strerror(rc));
    else
        ++_published;
}

void CommandHandler::end_transaction(tavlo::Client& client, const std::string& topic)
{
    if (_log.isDebugEnabled())
        _log.debug("Ending transaction on " + topic);
    const int rc = client.publish(nullptr, topic.c_str(), 0, nullptr, 2, true);
    if (rc != 0)
        _log.error(std::string("Failed to end transaction. ") + mosqpp::strerror(rc));
    else
        ++_published;
}

} // namespace vek
