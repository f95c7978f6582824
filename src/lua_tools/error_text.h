#pragma once

#include <string>

namespace vek {

/// The system's text for an errno value.
std::string errorText(int errnum);

} // namespace vek
