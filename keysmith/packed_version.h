#pragma once

#include <cstdint>
#include <string>

namespace keysmith {

/// Versions travel packed as major << 16 | minor << 8 | patch.
///
/// "major.minor.patch" to its packed form: empty pieces are skipped, pieces after the third are
/// ignored, each piece is read as atoi reads it (leading blanks, a sign, the digits; a trailing CR
/// or junk ends it) and is not limited to a byte, so 1.300.2 gives 0x012C02. Stored manifests and
/// the key's identity were always decoded this way, and both sides of a comparison must agree.
uint32_t packVersion(const std::string& text);

/// The packed version as "major.minor.patch".
std::string versionText(uint32_t version);

} // namespace keysmith
