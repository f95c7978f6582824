#include "src/lua_tools/job_arena.h"

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include <gtest/gtest.h>

using vek::JobArena;

namespace {

bool aligned(const void* block, size_t alignment) { return reinterpret_cast<std::uintptr_t>(block) % alignment == 0; }

void fill(void* block, size_t size, unsigned char seed)
{
    auto* bytes = static_cast<unsigned char*>(block);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(seed + i);
}

bool holds(const void* block, size_t size, unsigned char seed)
{
    const auto* bytes = static_cast<const unsigned char*>(block);
    for (size_t i = 0; i < size; ++i)
        if (bytes[i] != static_cast<unsigned char>(seed + i))
            return false;
    return true;
}

// Sizes around every class boundary, the largest block of the range and past it.
std::vector<size_t> interestingSizes()
{
    std::vector<size_t> sizes;
    for (size_t size = 1; size <= 3 * JobArena::alignment + 1; ++size)
        sizes.push_back(size);
    for (size_t edge = JobArena::fine_limit; edge <= 2 * JobArena::largest; edge *= 2)
        for (size_t size : {edge - 1, edge, edge + 1})
            sizes.push_back(size);
    return sizes;
}

TEST(JobArena, EveryBlockIsAlignedForAnyValueAndHoldsItsSize)
{
    // 16 on x86-64, 8 on 32-bit ARM, where a double or a 64-bit integer at an address that is
    // only 4-aligned faults or is fixed up slowly by the kernel.
    static_assert(JobArena::alignment % alignof(double) == 0, "");
    static_assert(JobArena::alignment % alignof(long long) == 0, "");
    JobArena arena;
    std::vector<std::pair<void*, size_t>> blocks;
    unsigned char seed = 0;
    for (size_t size : interestingSizes()) {
        void* block = arena.allocate(size);
        ASSERT_NE(block, nullptr) << size;
        EXPECT_TRUE(aligned(block, JobArena::alignment)) << size;
        EXPECT_EQ(arena.owns(block), size <= JobArena::largest) << size;
        EXPECT_GE(JobArena::capacity(std::min(size, JobArena::largest)), std::min(size, JobArena::largest));
        fill(block, size, ++seed);
        blocks.emplace_back(block, size);
    }
    // No block overlaps another: each still holds what was written into it.
    seed = 0;
    for (auto& [block, size] : blocks)
        EXPECT_TRUE(holds(block, size, ++seed)) << size;
    for (auto& [block, size] : blocks)
        arena.release(block, size);
}

TEST(JobArena, FreedBlocksAreReusedWithinTheirClass)
{
    JobArena arena;
    void* a = arena.allocate(40);
    void* b = arena.allocate(40);
    arena.release(a, 40);
    // Any size of the same class takes the freed block; another class does not.
    const size_t same_class = JobArena::capacity(40);
    EXPECT_EQ(arena.allocate(same_class), a);
    void* other = arena.allocate(same_class + 1);
    EXPECT_NE(other, a);
    arena.release(b, 40);
    arena.release(other, same_class + 1);
    // 33 to 40 bytes share a class with 8- and with 16-byte alignment.
    EXPECT_EQ(arena.allocate(33), b);
}

TEST(JobArena, ReallocationKeepsTheContents)
{
    struct Case {
        size_t from;
        size_t to;
    };
    const Case cases[] = {
        {24, 8},                                    // shrinks in place
        {24, 32},                                   // grows within its class or moves
        {100, 600},                                 // fine class to a power-of-two class
        {600, 3000},                                // between power-of-two classes
        {JobArena::largest, JobArena::largest + 1}, // out of the range, to malloc
        {JobArena::largest * 2, 64},                // a malloc block shrinks, stays with malloc
        {JobArena::largest * 2, JobArena::largest * 4},
    };
    JobArena arena;
    for (const Case& c : cases) {
        // A block in front, so that growing at the end of the range is not the only way.
        void* before = arena.allocate(c.from);
        void* block = arena.allocate(c.from);
        fill(block, c.from, 7);
        void* moved = arena.reallocate(block, c.from, c.to);
        ASSERT_NE(moved, nullptr) << c.from << " -> " << c.to;
        EXPECT_TRUE(aligned(moved, JobArena::alignment));
        EXPECT_TRUE(holds(moved, std::min(c.from, c.to), 7)) << c.from << " -> " << c.to;
        if (c.to < c.from && arena.owns(block)) {
            EXPECT_EQ(moved, block) << "shrinking a block of the range never moves it";
        }
        fill(moved, c.to, 9);
        arena.release(moved, c.to);
        arena.release(before, c.from);
    }
}

TEST(JobArena, TheLastBlockGrowsIntoTheUnusedRange)
{
    JobArena arena;
    void* block = arena.allocate(100);
    fill(block, 100, 3);
    const size_t used = arena.used();
    void* grown = arena.reallocate(block, 100, 5000);
    EXPECT_EQ(grown, block);
    EXPECT_TRUE(holds(grown, 100, 3));
    EXPECT_EQ(arena.used(), used - JobArena::capacity(100) + JobArena::capacity(5000));
    arena.release(grown, 5000);
}

TEST(JobArena, AUsedUpRangeFallsBackToMalloc)
{
    // One page of range: the rest comes from malloc, and is given back there (LeakSanitizer
    // checks that in the ASan build).
    JobArena arena(4096, 4096);
    std::vector<void*> blocks;
    size_t from_malloc = 0;
    for (int i = 0; i < 100; ++i) {
        void* block = arena.allocate(64);
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(aligned(block, JobArena::alignment));
        fill(block, 64, static_cast<unsigned char>(i));
        from_malloc += arena.owns(block) ? 0 : 1;
        blocks.push_back(block);
    }
    EXPECT_EQ(from_malloc, 100u - 4096 / JobArena::capacity(64));
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_TRUE(holds(blocks[i], 64, static_cast<unsigned char>(i)));
        arena.release(blocks[i], 64);
    }
}

TEST(JobArena, WithoutARangeEverythingComesFromMalloc)
{
    JobArena arena(0, 0);
    void* block = arena.allocate(16);
    ASSERT_NE(block, nullptr);
    EXPECT_FALSE(arena.owns(block));
    block = arena.reallocate(block, 16, 1000);
    ASSERT_NE(block, nullptr);
    arena.release(block, 1000);
    arena.discard(arena.allocate(8));
    arena.reset();
    EXPECT_EQ(arena.used(), 0u);
}

TEST(JobArena, ResetKeepsOnlyTheRetainedPartResident)
{
    const size_t retain = 64 * 1024;
    JobArena arena(4 * 1024 * 1024, retain);
    // A large job: far more than the retained part, in blocks of the range.
    for (int i = 0; i < 64; ++i)
        fill(arena.allocate(JobArena::largest), JobArena::largest, 1);
    EXPECT_GE(arena.touched(), 64 * JobArena::largest);
    arena.reset();
    EXPECT_EQ(arena.used(), 0u);
    EXPECT_LE(arena.touched(), retain);
    // The range is still there and served from its start.
    void* block = arena.allocate(8);
    EXPECT_TRUE(arena.owns(block));
    fill(block, 8, 5);
    EXPECT_TRUE(holds(block, 8, 5));
    // A small job keeps what it touched: nothing to give back.
    arena.reset();
    EXPECT_LE(arena.touched(), retain);
}

TEST(JobArena, ResetForgetsFreeLists)
{
    JobArena arena;
    void* a = arena.allocate(48);
    void* b = arena.allocate(48);
    arena.release(b, 48);
    arena.reset();
    // From the start of the range again, not from the old free list.
    EXPECT_EQ(arena.allocate(48), a);
    EXPECT_EQ(arena.allocate(48), b);
}

} // namespace
