#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace keysmith {

/// What became of reading one file of the firmware store or the trust directory.
struct StoreRead {
    enum Status { Ok, CannotOpen, SymbolicLink, NotRegular, TooLarge, CannotRead };
    Status status = Ok;
    int error = 0; ///< errno of CannotOpen and CannotRead

    bool ok() const { return status == Ok; }
    /// The reason for a log line: "No such file or directory", "a symbolic link" ...
    std::string reason() const;
};

/// Reads the whole file `name` in the directory dirFd into out, at most limit bytes. Only a
/// regular file is read, and the open never waits (a FIFO would block it until some writer came).
/// A symbolic link is refused unless followLinks: a store's files are the store's, not what a
/// link points to. The bytes read here are all the caller ever sees of the file.
StoreRead readStoreFile(int dirFd, const char* name, size_t limit, std::vector<uint8_t>& out, bool followLinks = false);

} // namespace keysmith
