#pragma once

#include <cstddef>

namespace vek {

/// Optional limits on one Lua job; zero means no limit. The defaults leave jobs unlimited.
struct JobLimits {
    /// Wall-clock time the script may run, in milliseconds.
    unsigned time_limit_ms = 0;
    /// Memory the job's Lua state may hold, in KiB (libraries, arguments and script together).
    size_t memory_limit_kb = 0;
    /// Whether a job script may be a precompiled chunk as well as source text. Off by default:
    /// Lua 5.2 loads bytecode without checking it, so a crafted or damaged chunk can crash or
    /// subvert the service, and any file in a search directory could be named as a job.
    bool precompiled_chunks = false;

    bool operator==(const JobLimits& other) const
    {
        return time_limit_ms == other.time_limit_ms && memory_limit_kb == other.memory_limit_kb &&
            precompiled_chunks == other.precompiled_chunks;
    }
    bool operator!=(const JobLimits& other) const { return !(*this == other); }
};

// A prepared Lua state is used only under limits equal to those it was made under, so a field
// added above must join operator== too; this stops the build until the comparison is looked at.
namespace job_limits_detail {
struct Fields {
    unsigned time_limit_ms;
    size_t memory_limit_kb;
    bool precompiled_chunks;
};
} // namespace job_limits_detail
static_assert(sizeof(JobLimits) == sizeof(job_limits_detail::Fields), "compare every JobLimits field in operator==");

} // namespace vek
