#include "block_pool.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <set>
#include <vector>

#include <gtest/gtest.h>

namespace {

bool aligned(const void* block) { return reinterpret_cast<std::uintptr_t>(block) % vek::BlockPool::alignment == 0; }

TEST(BlockPool, ServesSmallBlocksAndTakesThemBack)
{
    vek::BlockPool pool;
    EXPECT_EQ(pool.allocate(0), nullptr);
    EXPECT_EQ(pool.allocate(vek::BlockPool::largest + 1), nullptr);

    void* a = pool.allocate(1);
    void* b = pool.allocate(16);
    void* c = pool.allocate(vek::BlockPool::largest);
    for (void* block : {a, b, c}) {
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(pool.owns(block));
        EXPECT_TRUE(aligned(block));
    }
    EXPECT_NE(a, b);
    int outside = 0;
    EXPECT_FALSE(pool.owns(&outside));
    EXPECT_EQ(vek::BlockPool::capacity(17), 32u);

    // A block comes back for a request of its own class; one that shrank in place serves the
    // smaller class it now holds.
    pool.release(b, 16);
    EXPECT_EQ(pool.allocate(9), b);
    pool.release(c, 40);
    EXPECT_EQ(pool.allocate(48), c);
}

TEST(BlockPool, BlocksAreAlignedWhereverTheChunkLands)
{
    // Pools alive together each take a chunk of their own from malloc; small allocations in
    // between move the chunks about the heap, so some of them start at an address that is only
    // as aligned as malloc guarantees.
    std::vector<std::unique_ptr<vek::BlockPool>> pools;
    std::vector<std::unique_ptr<char[]>> between;
    for (size_t i = 0; i < 24; ++i) {
        between.emplace_back(new char[8 + 8 * (i % 3)]);
        pools.push_back(std::make_unique<vek::BlockPool>());
        for (size_t size : {1u, 24u, 1000u}) {
            void* block = pools.back()->allocate(size);
            ASSERT_NE(block, nullptr);
            EXPECT_TRUE(aligned(block)) << "pool " << i << ", " << size << " bytes at " << block;
        }
    }
}

TEST(BlockPool, RunsOutWithoutOverlapping)
{
    vek::BlockPool pool;
    std::set<const char*> blocks;
    while (void* block = pool.allocate(100)) {
        std::memset(block, 0xab, 100);
        blocks.insert(static_cast<const char*>(block));
    }
    ASSERT_EQ(blocks.size(), vek::BlockPool::chunk_bytes / 112);
    for (auto it = blocks.begin(); std::next(it) != blocks.end(); ++it)
        EXPECT_GE(*std::next(it) - *it, 112);
    EXPECT_EQ(pool.allocate(vek::BlockPool::largest), nullptr);
    char* first = const_cast<char*>(*blocks.begin());
    pool.release(first, 100);
    EXPECT_EQ(pool.allocate(100), first);
}

} // namespace
