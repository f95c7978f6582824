#pragma once

#include <cstddef>
#include <cstdint>

// The allocator's fast paths run a few thousand times per job: inlined even where the code is
// built for size.
#define VEK_HOT_INLINE inline __attribute__((always_inline))

namespace vek {

namespace arena_detail {
constexpr unsigned log2(size_t n) { return n <= 1 ? 0 : 1 + log2(n / 2); }
} // namespace arena_detail

/// Memory for one Lua state at a time, cut from one reserved address range: blocks up to
/// `largest` bytes come from per-size-class free lists or from the unused end of the range, and
/// everything else (and everything once the range is used up) from malloc. A fresh state with
/// its libraries makes several hundred small allocations and frees them all when it is closed;
/// here each costs a few instructions where malloc and free spend a few hundred together.
///
/// reset() forgets every block at once, for the next state; of the pages the range has
/// touched, only the first `retain` bytes stay resident, so what a large job used is not kept.
/// Every block is aligned as malloc aligns (for any fundamental type): 16 on x86-64, 8 on
/// 32-bit ARM, where Lua's doubles need their 8.
class JobArena {
public:
    static constexpr size_t alignment = alignof(std::max_align_t);
    static_assert(alignment >= alignof(double) && alignment >= alignof(long long) && alignment >= alignof(void*),
                  "blocks hold any of Lua's values");
    /// Up to this size, classes are `alignment` bytes apart; above it, powers of two.
    static constexpr size_t fine_limit = 512;
    /// Largest block served from the range.
    static constexpr size_t largest = 64 * 1024;
    static constexpr size_t default_reserve = 16 * 1024 * 1024;
    static constexpr size_t default_retain = 256 * 1024;

    /// Reserves `reserve` bytes of address space (pages become resident only when used). When
    /// that fails, every block comes from malloc: slower, still right.
    explicit JobArena(size_t reserve = default_reserve, size_t retain = default_retain) noexcept;
    ~JobArena();
    JobArena(const JobArena&) = delete;
    JobArena& operator=(const JobArena&) = delete;

    /// A block of at least `size` (> 0) bytes, or null when memory is exhausted.
    VEK_HOT_INLINE void* allocate(size_t size) noexcept
    {
        if (size <= largest) {
            const size_t index = classOf(size);
            const size_t bytes = capacityOf(index);
            if (FreeBlock* block = _free[index]) {
                unpoison(block, bytes);
                _free[index] = block->next;
                return block;
            }
            if (static_cast<size_t>(_end - _next) >= bytes) {
                char* block = _next;
                _next += bytes;
                if (_next > _high)
                    _high = _next;
                unpoison(block, bytes);
                return block;
            }
        }
        return allocateSlowly(size);
    }
    /// `block` (which now holds `old_size` bytes) resized to `size` (> 0) bytes, contents kept up
    /// to the smaller size; null when it cannot grow, with `block` unchanged. Shrinking a block
    /// of the range stays in place, so it never fails.
    void* reallocate(void* block, size_t old_size, size_t size) noexcept;
    /// Gives back a block that now holds `size` bytes.
    VEK_HOT_INLINE void release(void* block, size_t size) noexcept
    {
        if (!owns(block))
            return releaseToMalloc(block);
        const size_t index = classOf(size);
        auto* entry = static_cast<FreeBlock*>(block);
        entry->next = _free[index];
        _free[index] = entry;
        poisonFree(entry, capacityOf(index));
    }
    /// Gives back a block for good, when everything is about to be reset anyway: the range's
    /// blocks are not even listed for reuse.
    VEK_HOT_INLINE void discard(void* block) noexcept
    {
        if (block && !owns(block))
            releaseToMalloc(block);
    }
    /// Forgets every block of the range; only while nothing uses them. Blocks from malloc must
    /// have been released before.
    void reset() noexcept;

    /// The block lies in the reserved range.
    VEK_HOT_INLINE bool owns(const void* block) const noexcept
    {
        return reinterpret_cast<std::uintptr_t>(block) - reinterpret_cast<std::uintptr_t>(_base) < _reserved;
    }
    /// Bytes of the range handed out since the last reset, free-listed ones included.
    size_t used() const noexcept { return static_cast<size_t>(_next - _base); }
    /// Bytes of the range that may be resident now (touched since the last trim).
    size_t touched() const noexcept { return static_cast<size_t>(_high - _base); }
    /// Bytes a block of the range that holds `size` bytes can grow to in place.
    static size_t capacity(size_t size) noexcept { return capacityOf(classOf(size)); }

private:
    struct FreeBlock {
        FreeBlock* next;
    };
    static constexpr size_t fine_classes = fine_limit / alignment;
    static constexpr size_t classes = fine_classes + arena_detail::log2(largest) - arena_detail::log2(fine_limit);
    static VEK_HOT_INLINE size_t classOf(size_t size) noexcept
    {
        if (size <= fine_limit)
            return (size - 1) / alignment;
        // The power of two at or above size, counted from the first one above fine_limit.
        const unsigned bits = static_cast<unsigned>(sizeof(unsigned long) * 8) -
            static_cast<unsigned>(__builtin_clzl(static_cast<unsigned long>(size - 1)));
        return fine_classes + bits - arena_detail::log2(fine_limit) - 1;
    }
    static VEK_HOT_INLINE size_t capacityOf(size_t index) noexcept
    {
        if (index < fine_classes)
            return (index + 1) * alignment;
        return size_t{1} << (index - fine_classes + arena_detail::log2(fine_limit) + 1);
    }
    // Large blocks, and every block once the range is used up.
    void* allocateSlowly(size_t size) noexcept;
    static void releaseToMalloc(void* block) noexcept;
    // Under AddressSanitizer, free parts of the range are poisoned, so that a stray access is
    // caught here as it would be between separate blocks of malloc.
#if defined(__SANITIZE_ADDRESS__)
    static void unpoison(void* block, size_t size) noexcept;
    static void poisonFree(void* block, size_t size) noexcept;
#else
    static void unpoison(void*, size_t) noexcept {}
    static void poisonFree(void*, size_t) noexcept {}
#endif

    char* _base = nullptr;
    char* _end = nullptr;
    size_t _reserved = 0;
    size_t _retain;
    char* _next = nullptr; // first byte never handed out since the last reset
    char* _high = nullptr; // end of what may be resident
    FreeBlock* _free[classes] = {};
};

} // namespace vek
