#pragma once

#include <unistd.h>

#include <utility>

namespace vek {

/// Sole owner of a file descriptor. Descriptor 0 is a valid one (standard input may be closed
/// when a daemon starts), so only a negative value means "none".
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : _fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : _fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return _fd; }
    bool valid() const noexcept { return _fd >= 0; }
    /// Hands the descriptor to a new owner (fdopen's FILE, for one).
    int release() noexcept { return std::exchange(_fd, -1); }
    void reset(int fd = -1) noexcept
    {
        if (_fd >= 0)
            ::close(_fd);
        _fd = fd;
    }

private:
    int _fd = -1;
};

} // namespace vek
