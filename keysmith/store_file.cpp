#include "store_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/error_text.h"
#include "common/unique_fd.h"

namespace keysmith {

std::string StoreRead::reason() const
{
    switch (status) {
    case Ok: return "read";
    case SymbolicLink: return "a symbolic link, which is not followed";
    case NotRegular: return "not a regular file";
    case TooLarge: return "too large";
    case CannotOpen:
    case CannotRead: break;
    }
    return vek::errorText(error);
}

StoreRead readStoreFile(int dirFd, const char* name, size_t limit, std::vector<uint8_t>& out, bool followLinks)
{
    out.clear();
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW);
    vek::UniqueFd fd(::openat(dirFd, name, flags));
    if (!fd.valid()) {
        // O_NOFOLLOW makes a link fail with ELOOP; said plainly, that is the clearer reason.
        if (errno == ELOOP && !followLinks)
            return {StoreRead::SymbolicLink, ELOOP};
        return {StoreRead::CannotOpen, errno};
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return {StoreRead::CannotRead, errno};
    if (!S_ISREG(st.st_mode))
        return {StoreRead::NotRegular, 0};
    if (static_cast<uintmax_t>(st.st_size) > limit)
        return {StoreRead::TooLarge, 0};

    // The size is only a hint: the file may grow or shrink while it is read. One byte past the
    // limit tells a file that grew too large.
    out.resize(static_cast<size_t>(st.st_size) + 1);
    size_t filled = 0;
    for (;;) {
        if (filled == out.size()) {
            if (out.size() > limit)
                break;
            out.resize(std::min(out.size() * 2, limit + 1));
        }
        const ssize_t n = ::read(fd.get(), out.data() + filled, out.size() - filled);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            out.clear();
            return {StoreRead::CannotRead, err};
        }
        if (n == 0)
            break;
        filled += static_cast<size_t>(n);
    }
    if (filled > limit) {
        out.clear();
        return {StoreRead::TooLarge, 0};
    }
    out.resize(filled);
    return {};
}

} // namespace keysmith
