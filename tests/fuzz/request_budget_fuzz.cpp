// A whole request the way the command service takes it under its limits: the size limit, the
// pre-check, the decoded request weighed against the job's memory limit (refused when it alone
// does not fit), the unpacker, and the job run with the decoded request counted against it. The
// fuzzed bytes are the arguments; the job walks all of them. Whatever the bytes up to the size
// limit, the heap never grows past the job's memory limit and a little for the service's own
// bookkeeping, and the job ends with an answer or a fixed reason.

#include <cstdint>
#include <memory>
#include <string>

#include <log4cpp/Category.hh>
#include <msgpack.hpp>

#include "common/packed_object_check.h"
#include "fuzz_support.h"
#include "src/lua_tools/lua_agent.h"
#include "tests/support/temp_dir.h"

namespace {

using fuzz::check;

constexpr size_t kMaxRequest = 64 * 1024;
constexpr size_t kMemoryLimitKiB = 1024;
// The parser's stacks, the job's path and result, the log records, the budget's rounding.
constexpr size_t kBookkeeping = 96 * 1024;

struct Runner {
    testsupport::TempDir dir;
    std::unique_ptr<vek::LuaAgent> agent;

    Runner()
    {
        dir.write("walk.lua", fuzz::kWalkArgsScript);
        agent = std::make_unique<vek::LuaAgent>(std::vector<std::string>{dir.path()}, dir.path().c_str());
        vek::JobLimits limits;
        limits.memory_limit_kb = kMemoryLimitKiB;
        agent->setLimits(limits);
    }
};

Runner& runner()
{
    static Runner r;
    return r;
}

bool referToPayload(msgpack::type::object_type, std::size_t, void*) { return true; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::setInput(data, size);
    fuzz::LogSink::instance().clear();
    // Every record is formatted, but the per-value tracing is not kept: it would weigh on the
    // heap as the service's log never does.
    log4cpp::Category::getRoot().setPriority(log4cpp::Priority::INFO);
    Runner& r = runner();
    if (size > kMaxRequest)
        return 0; // refused unread
    const char* bytes = reinterpret_cast<const char*>(data);

    fuzz::HeapBound bound(kMemoryLimitKiB * 1024 + kBookkeeping, "request under the job memory limit");
    size_t elements = 0;
    try {
        vek::check_packed_object(bytes, size, vek::packed_object_max_depth, &elements);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        return 0; // answered before anything is decoded
    }
    const size_t footprint = vek::decoded_request_bytes(size, elements);
    if (footprint / 1024 >= kMemoryLimitKiB)
        return 0; // refused before it is decoded
    // The service holds a copy of the payload while the job runs, inside the footprint.
    const std::string payload(bytes, size);
    msgpack::zone zone(vek::packed_zone_chunk);
    const msgpack::object args = msgpack::unpack(zone, payload.data(), size, &referToPayload);

    vek::JobResult result = r.agent->runJob("walk.lua", args, footprint);
    const std::string reason = result.getReason();
    check(result.getStatus() || reason == "Dock command service error. Invalid job arguments." ||
              reason == "Dock command service error. Command script failure, please consult vek-command logs." ||
              reason == "Dock command service error. Failed to allocate resources for job.",
          "the job failed with an unexpected reason: " + reason);
    return 0;
}
