#pragma once

#include <cstddef>
#include <cstdlib>

#include "common/c_handle.h"

namespace vek {

/// Small blocks for one Lua state, cut from one chunk and kept on a free list per size class.
/// A fresh state with its libraries makes some 300 allocations, nearly all of them small: here
/// each costs a few instructions, where the general allocator spends a few hundred on it and as
/// many again when the state is closed. Requests it cannot serve are left to the caller.
class BlockPool {
public:
    /// Size classes are multiples of this.
    static constexpr size_t granule = 16;
    /// Every block is aligned as malloc aligns (for any fundamental type), which is what Lua asks
    /// of its allocator: 16 on x86-64, only 8 on 32-bit ARM. The chunk comes from malloc and
    /// blocks are cut from it at multiples of `granule`, so no more than that can be promised.
    static constexpr size_t alignment = alignof(std::max_align_t);
    static_assert(granule % alignment == 0, "blocks cut at granule steps keep the chunk's alignment");
    /// Largest block served.
    static constexpr size_t largest = 1024;
    /// Room for the small blocks of a fresh state and a short job; only the pages used become
    /// resident, and what does not fit goes to malloc.
    static constexpr size_t chunk_bytes = 32 * 1024;

    BlockPool() = default;
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    /// A block of at least `size` bytes (1 to `largest`), or null when the pool has none.
    void* allocate(size_t size) noexcept;
    /// Takes back a block of this pool that now holds `size` bytes (it may have shrunk in place).
    void release(void* block, size_t size) noexcept;
    /// The block was handed out by this pool.
    bool owns(const void* block) const noexcept;
    /// Bytes a pool block holding `size` bytes can grow to in place.
    static size_t capacity(size_t size) noexcept { return (size + granule - 1) / granule * granule; }
    /// Forgets every block handed out; only while no state uses them.
    void clear() noexcept;

private:
    struct FreeBlock {
        FreeBlock* next;
    };
    static constexpr size_t classes = largest / granule;
    // A block holding `size` bytes has at least the size of this class.
    static size_t classOf(size_t size) noexcept { return size == 0 ? 0 : (size - 1) / granule; }
    // Keeps the chunk for the next pool, or frees it when one is kept already.
    static void returnChunk(char* chunk) noexcept;

    CHandle<char, returnChunk> _chunk;
    char* _next = nullptr; // first byte not yet cut from the chunk
    FreeBlock* _free[classes] = {};
};

} // namespace vek
