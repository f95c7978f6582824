#pragma once

#include <cstddef>

namespace vek {

/// A whole file mapped read-only, unmapped on destruction. An empty file maps to nothing
/// (mmap refuses length 0) and still counts as mapped.
class ReadOnlyMapping {
public:
    /// Maps `size` bytes of `fd` from its start; check ok() (errno tells why it failed).
    ReadOnlyMapping(int fd, size_t size);
    ~ReadOnlyMapping();
    ReadOnlyMapping(const ReadOnlyMapping&) = delete;
    ReadOnlyMapping& operator=(const ReadOnlyMapping&) = delete;

    bool ok() const { return _addr != failed(); }
    const void* data() const { return _addr; }
    size_t size() const { return _size; }

private:
    static void* failed();

    size_t _size;
    void* _addr;
};

} // namespace vek
