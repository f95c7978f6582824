#pragma once

#include <string>
#include <vector>

#include <tavlo/client.h>

#include "src/lua_tools/job_limits.h"
#include "src/lua_tools/job_result.h"
#include "src/lua_tools/lua_agent.h"

namespace vek {

/// The one message handler of the command service, on "in/cmd/+" (the last level is the job id).
/// A request (a MessagePack map naming "lua_script" and carrying "args") is run as a Lua job and
/// answered on "out/cmd/<job id>", QoS 2 and retained: the answer bytes on success, the packed
/// JobResult on failure. An empty message ends the job's transaction: the retained result is
/// cleared with an empty retained publish. Once the stop signal has come (program_running is 0)
/// requests are no longer run.
class CommandHandler : public tavlo::Handler {
public:
    /// controller_id is not used; search_dirs and staging_dir go to the Lua agent, whose
    /// construction may throw.
    CommandHandler(std::string controller_id, std::vector<std::string> search_dirs, const char* staging_dir);
    ~CommandHandler() override;

    void onMessage(const tavlo::FilterVariables& vars, const mosquitto_message* msg,
                   tavlo::Client& client) override;

    /// Limits for the jobs run from now on; the default is none.
    void setJobLimits(const JobLimits& limits) { _lua_agent.setLimits(limits); }
    /// Prepares the next job's Lua state ahead of its request; for idle moments of the caller.
    void prepareNextJob() noexcept { _lua_agent.prepareNextJob(); }
    /// A state is ready for the next job.
    bool nextJobPrepared() const { return _lua_agent.nextJobPrepared(); }
    /// Results and transaction ends the client has accepted for sending so far.
    unsigned long published() const { return _published; }

private:
    void publish_result(tavlo::Client& client, const std::string& topic, JobResult& result);
    void end_transaction(tavlo::Client& client, const std::string& topic);

    std::string _result_dest;
    LuaAgent _lua_agent;
    unsigned long _published = 0;
};

} // namespace vek
