#pragma once

#include <string>

namespace vek {

/// The system's text for an errno value. Safe from any thread, unlike std::strerror, whose
/// buffer the daemons' threads would share.
std::string errorText(int errnum);

} // namespace vek
