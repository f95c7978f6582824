#pragma once

#include <stdexcept>
#include <string>

namespace tavlo {

/// The library's one exception type: misuse of the client and failures of the topic matcher.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message);
    ~Error() override;

    /// The mosquitto return code (MOSQ_ERR_*) the error was made from, or 0 (MOSQ_ERR_SUCCESS)
    /// for misuse that no mosquitto call reported.
    int mosquittoCode() const noexcept;
};

/// An Error made from a mosquitto return code, which it keeps; caught as tavlo::Error.
class MosquittoError : public Error {
public:
    MosquittoError(const std::string& message, int code);
    ~MosquittoError() override;

    int code() const noexcept { return _code; }

private:
    int _code;
};

} // namespace tavlo
