#include "block_pool.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

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

// The chunk of the last pool to go, for the next pool: the service opens a state for every job,
// and a chunk that stays where it is keeps the heap from growing around one that moves. It stays
// reachable until exit, so it is no leak.
std::atomic<char*> keptChunk{nullptr};

} // namespace

// Under AddressSanitizer the chunk's free parts are poisoned, so that a stray access inside the
// pool is still caught as it would be between separate allocations.

void* BlockPool::allocate(size_t size) noexcept
{
    if (size == 0 || size > largest)
        return nullptr;
    const size_t index = classOf(size);
    const size_t bytes = (index + 1) * granule;
    if (FreeBlock* block = _free[index]) {
        VEK_UNPOISON(block, bytes);
        _free[index] = block->next;
        return block;
    }
    if (!_chunk) {
        char* chunk = keptChunk.exchange(nullptr);
        _chunk.reset(chunk ? chunk : static_cast<char*>(std::malloc(chunk_bytes)));
        if (!_chunk)
            return nullptr;
        _next = _chunk.get();
        VEK_POISON(_next, chunk_bytes);
    }
    if (static_cast<size_t>(_chunk.get() + chunk_bytes - _next) < bytes)
        return nullptr;
    void* block = _next;
    _next += bytes;
    VEK_UNPOISON(block, bytes);
    return block;
}

void BlockPool::release(void* block, size_t size) noexcept
{
    const size_t index = classOf(size);
    auto* entry = static_cast<FreeBlock*>(block);
    entry->next = _free[index];
    _free[index] = entry;
    VEK_POISON(block, (index + 1) * granule);
}

void BlockPool::returnChunk(char* chunk) noexcept
{
    VEK_POISON(chunk, chunk_bytes);
    char* none = nullptr;
    if (!keptChunk.compare_exchange_strong(none, chunk))
        std::free(chunk);
}

bool BlockPool::owns(const void* block) const noexcept
{
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    const auto start = reinterpret_cast<std::uintptr_t>(_chunk.get());
    return _chunk && address >= start && address < start + chunk_bytes;
}

void BlockPool::clear() noexcept
{
    for (FreeBlock*& list : _free)
        list = nullptr;
    _next = _chunk.get();
    if (_chunk)
        VEK_POISON(_next, chunk_bytes);
}

} // namespace vek
