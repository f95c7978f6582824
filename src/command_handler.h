#pragma once

#include <deque>
#include <string>
#include <vector>

#include <tavlo/client.h>

#include "src/lua_tools/job_limits.h"
#include "src/lua_tools/job_result.h"
#include "src/lua_tools/lua_agent.h"

namespace vek {

/// Limits on what one request may bring and take; zero means no limit.
struct RequestLimits {
    /// Largest request payload, in bytes; a larger one is refused unread.
    size_t max_request_bytes = 0;
    /// Largest answer a job may publish, in bytes; a larger one becomes a failure result.
    size_t max_result_bytes = 0;
};

/// The one message handler of the command service, on "in/cmd/+" (the last level is the job id).
/// A request (a MessagePack map naming "lua_script" and carrying "args") is run as a Lua job and
/// answered on "out/cmd/<job id>", QoS 2 and retained: the answer bytes on success, the packed
/// JobResult on failure. An empty message ends the job's transaction: the retained result is
/// cleared with an empty retained publish.
///
/// onMessage only queues what arrives; runNext handles the oldest queued message, on the thread
/// that drives the client, between its loop calls: outside the library's callbacks that thread
/// may keep the session alive while a job runs (see JobObserver). Messages are handled one at a
/// time, in the order they arrived. Once the stop signal has come (program_running is 0)
/// requests are no longer run.
class CommandHandler : public tavlo::Handler {
public:
    /// Told when a job starts and when it has ended, before its result goes to the client.
    class JobObserver {
    public:
        virtual ~JobObserver() = default;
        virtual void jobStarting() = 0;
        virtual void jobEnded() = 0;
    };

    /// controller_id is not used; search_dirs and staging_dir go to the Lua agent, whose
    /// construction may throw.
    CommandHandler(std::string controller_id, std::vector<std::string> search_dirs, const char* staging_dir);
    ~CommandHandler() override;

    void onMessage(const tavlo::FilterVariables& vars, const mosquitto_message* msg, tavlo::Client& client) override;

    /// Some message waits for runNext.
    bool hasPending() const { return !_pending.empty(); }
    /// Handles the oldest queued message: runs its job and hands the result to the client.
    void runNext(tavlo::Client& client);
    /// Drops every queued request with a log line (the service is stopping); deregistrations
    /// are still answered.
    void dropPending(tavlo::Client& client);

    /// Limits for the jobs run from now on; the default is none.
    void setJobLimits(const JobLimits& limits);
    void setRequestLimits(const RequestLimits& limits) { _request_limits = limits; }
    /// Told around every job from now on; not owned, may be null.
    void setJobObserver(JobObserver* observer) { _observer = observer; }
    /// Prepares the next job's Lua state ahead of its request; for idle moments of the caller.
    void prepareNextJob() noexcept { _lua_agent.prepareNextJob(); }
    /// A state is ready for the next job.
    bool nextJobPrepared() const { return _lua_agent.nextJobPrepared(); }
    /// Results and transaction ends the client has accepted for sending so far.
    unsigned long published() const { return _published; }

private:
    struct Pending {
        enum class Kind { Request, Deregistration, TooLarge };
        Kind kind;
        std::string job_id;
        std::string payload; // a request's bytes
        size_t size;         // the payload's size as received
    };

    void runRequest(tavlo::Client& client, const Pending& pending);
    JobResult decodeAndRun(const std::string& job_id, const std::string& payload);
    void publish_result(tavlo::Client& client, const std::string& topic, JobResult& result);
    void end_transaction(tavlo::Client& client, const std::string& topic);

    std::string _result_dest;
    LuaAgent _lua_agent;
    JobLimits _job_limits;
    RequestLimits _request_limits;
    JobObserver* _observer = nullptr;
    std::deque<Pending> _pending;
    unsigned long _published = 0;
};

} // namespace vek
