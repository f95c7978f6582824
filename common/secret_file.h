#pragma once

#include <string>

namespace vek {

/// A password kept in a file of its own: the whole file, without one trailing line break (a file
/// written by echo or an editor). Throws std::runtime_error, naming the path, when the file
/// cannot be read, is empty, is larger than a password can sensibly be, or holds a NUL or a
/// further line break (the broker would see a different password than the one meant).
std::string readSecretFile(const std::string& path);

/// The file can be read by users other than its owner and its group: a warning is due.
bool secretFileIsWorldReadable(const std::string& path);

} // namespace vek
