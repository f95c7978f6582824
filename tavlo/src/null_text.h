#pragma once

namespace tavlo {

/// The C libraries may hand out a null text (an unknown error code, an empty log line); log
/// lines show it as "<NULL>" instead of crashing on it.
inline const char* orNull(const char* text) { return text ? text : "<NULL>"; }

} // namespace tavlo
