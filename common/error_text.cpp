#include "common/error_text.h"

#include <cstring>
#include <type_traits>

namespace vek {

std::string errorText(int errnum)
{
    char buf[80];
    // Both flavours of strerror_r: the GNU one returns its own text, the POSIX one fills buf.
    auto text = [&buf](auto ret) -> const char* {
        if constexpr (std::is_same_v<decltype(ret), char*>)
            return ret;
        else
            return ret == 0 ? buf : "Unknown error";
    };
    buf[0] = '\0';
    return text(strerror_r(errnum, buf, sizeof buf));
}

} // namespace vek
