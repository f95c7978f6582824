#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vek {

/// Longest piece of outside text (a job id, a script name) a log line shows by default.
constexpr size_t log_text_limit = 200;

/// Outside text made safe for one log line: a backslash, the control characters (the zero byte
/// among them) and DEL are written as C escapes (\\, \n, \r, \t, \xHH); every other byte stays
/// as it is, so an ordinary name reads unchanged. Text longer than `limit` bytes is cut there
/// and ends in "... (N bytes)"; a limit of 0 keeps it whole.
std::string escaped(std::string_view text, size_t limit = log_text_limit);

} // namespace vek
