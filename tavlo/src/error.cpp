#include "tavlo/error.h"

namespace tavlo {

Error::Error(const std::string& message) : std::runtime_error(message) {}

// Out of line so that the type's vtable and type information live in the library.
Error::~Error() = default;

// Error's layout and virtual table are part of the library's interface, so the code lives in the
// derived type and is found from here.
int Error::mosquittoCode() const noexcept
{
    const auto* made = dynamic_cast<const MosquittoError*>(this);
    return made ? made->code() : 0;
}

MosquittoError::MosquittoError(const std::string& message, int code) : Error(message), _code(code) {}

MosquittoError::~MosquittoError() = default;

} // namespace tavlo
