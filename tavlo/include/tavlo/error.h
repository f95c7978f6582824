#pragma once

#include <stdexcept>
#include <string>

namespace tavlo {

/// The library's one exception type: misuse of the client and failures of the topic matcher.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message);
    ~Error() override;
};

} // namespace tavlo
