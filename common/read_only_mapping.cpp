#include "common/read_only_mapping.h"

#include <sys/mman.h>

namespace vek {

ReadOnlyMapping::ReadOnlyMapping(int fd, size_t size)
    : _size(size), _addr(size ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr)
{}

ReadOnlyMapping::~ReadOnlyMapping()
{
    if (_addr && _addr != MAP_FAILED)
        ::munmap(_addr, _size);
}

void* ReadOnlyMapping::failed() { return MAP_FAILED; }

} // namespace vek
