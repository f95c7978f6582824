#pragma once

#include <msgpack.hpp>
#include <string>
#include <vector>

namespace vek {

/// Outcome of one command job: success flag, failure reason and the answer bytes.
/// Packs as the two-entry map {"status": bool, "reason": str}; the answer is never part of it.
class JobResult {
public:
    JobResult() = default;
    JobResult(bool status, const std::string& reason);
    virtual ~JobResult() = default;

    JobResult(const JobResult&) = default;
    JobResult& operator=(const JobResult&) = default;
    JobResult(JobResult&&) = default;
    JobResult& operator=(JobResult&&) = default;

    void setStatus(bool s) { status = s; }
    void setReason(const std::string& r) { reason = r; }
    std::vector<unsigned char>& getAnswer() { return answer; }
    const char* getReason() const { return reason.c_str(); }
    bool getStatus() const { return status; }

    MSGPACK_DEFINE_MAP(status, reason);

private:
    std::vector<unsigned char> answer;
    bool status = false;
    std::string reason;
};

} // namespace vek
