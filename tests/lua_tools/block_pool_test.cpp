#include "block_pool.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <set>

#include <gtest/gtest.h>

namespace {

bool aligned(const void* block) { return reinterpret_cast<std::uintptr_t>(block) % vek::BlockPool::granule == 0; }

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
