#include "job_result.h"

namespace vek {

JobResult::JobResult(bool s, const std::string& r) : status(s), reason(r) {}

} // namespace vek
