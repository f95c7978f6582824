#include "tavlo/error.h"

namespace tavlo {

Error::Error(const std::string& message) : std::runtime_error(message) {}

// Out of line so that the type's vtable and type information live in the library.
Error::~Error() = default;

} // namespace tavlo
