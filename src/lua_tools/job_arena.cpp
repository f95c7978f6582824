#include "job_arena.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define VEK_POISON(addr, size) ASAN_POISON_MEMORY_REGION(addr, size)
#define VEK_UNPOISON(addr, size) ASAN_UNPOISON_MEMORY_REGION(addr, size)
#else
#define VEK_POISON(addr, size) ((void)(addr), (void)(size))
#define VEK_UNPOISON(addr, size) ((void)(addr), (void)(size))
#endif

namespace vek {

namespace {

size_t pageSize()
{
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

} // namespace

JobArena::JobArena(size_t reserve, size_t retain) noexcept : _retain(retain)
{
    const size_t page = pageSize();
    reserve = (reserve + page - 1) / page * page;
    if (reserve == 0)
        return;
    // Address space only: a page costs memory once it is written.
    void* range = mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (range == MAP_FAILED)
        return;
    _base = static_cast<char*>(range);
    _reserved = reserve;
    _end = _base + reserve;
    _next = _high = _base;
    VEK_POISON(_base, _reserved);
}

JobArena::~JobArena()
{
    if (_base) {
        VEK_UNPOISON(_base, _reserved);
        munmap(_base, _reserved);
    }
}

void* JobArena::allocateSlowly(size_t size) noexcept { return std::malloc(size); }

void JobArena::releaseToMalloc(void* block) noexcept { std::free(block); }

#if defined(__SANITIZE_ADDRESS__)
void JobArena::unpoison(void* block, size_t size) noexcept { VEK_UNPOISON(block, size); }

void JobArena::poisonFree(void* block, size_t size) noexcept
{
    // The link stays readable for the next allocation of this class.
    VEK_POISON(static_cast<char*>(block) + sizeof(FreeBlock), size - sizeof(FreeBlock));
}
#endif

void* JobArena::reallocate(void* block, size_t old_size, size_t size) noexcept
{
    if (!owns(block)) {
        // A block from malloc stays with malloc, whatever its size becomes.
        return std::realloc(block, size);
    }
    if (size <= largest) {
        const size_t old_capacity = capacity(old_size);
        if (size <= old_capacity)
            return block;
        // The last block cut grows into the unused end of the range; its capacity stays that of
        // the class of what it holds.
        char* start = static_cast<char*>(block);
        const size_t new_capacity = capacity(size);
        if (start + old_capacity == _next && static_cast<size_t>(_end - start) >= new_capacity) {
            _next = start + new_capacity;
            _high = std::max(_high, _next);
            VEK_UNPOISON(start, new_capacity);
            return block;
        }
    }
    void* moved = allocate(size);
    if (!moved)
        return nullptr;
    std::memcpy(moved, block, std::min(old_size, size));
    release(block, old_size);
    return moved;
}

void JobArena::reset() noexcept
{
    std::fill(std::begin(_free), std::end(_free), nullptr);
    _next = _base;
    if (!_base)
        return;
    VEK_POISON(_base, static_cast<size_t>(_high - _base));
    const size_t page = pageSize();
    const size_t keep = std::min(_reserved, (_retain + page - 1) / page * page);
    if (static_cast<size_t>(_high - _base) > keep) {
        // What a large job used goes back to the system; the range stays reserved.
        madvise(_base + keep, static_cast<size_t>(_high - _base) - keep, MADV_DONTNEED);
        _high = _base + keep;
    }
}

} // namespace vek
