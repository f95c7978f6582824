#include "packed_object_check.h"
#include "server_comms.h"

#include <gtest/gtest.h>
#include <msgpack.hpp>
#include <string>

// The entry module's flag; server_comms reads it.
volatile sig_atomic_t vek::program_running = 1;

namespace {

size_t check(const std::string& bytes, unsigned depth = 8)
{
    return vek::check_packed_object(bytes.data(), bytes.size(), depth);
}

TEST(PackedObjectCheck, ReturnsTheLengthOfTheFirstCompleteObject)
{
    struct Case {
        std::string bytes;
        size_t length;
    } cases[] = {
        {"\x01", 1},
        {"\xff garbage", 1},
        {std::string("\xc0\xc1", 2), 1},
        {"\xa3" "abc", 4},
        {std::string("\xd9\x02" "ab", 4), 4},
        {std::string("\xc4\x00", 2), 2},
        {std::string("\xc7\x01\x05x", 4), 4},
        {std::string("\xd4\x05x", 3), 3},
        {std::string("\xcb\0\0\0\0\0\0\0\0", 9), 9},
        {std::string("\xcd\x01\x02", 3), 3},
        {std::string("\x92\x01\x91\x02tail", 8), 4},
        {std::string("\x81\xa1k\x90", 4), 4},
        {std::string("\xdc\x00\x02\x01\x02", 5), 5},
        {std::string("\xde\x00\x01\x01\x02", 5), 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(check(c.bytes), c.length);
    }
}

TEST(PackedObjectCheck, TruncatedOrOverDeclaredInputIsInsufficient)
{
    const std::string cases[] = {
        "",
        "\x92\x01",
        "\xa3" "ab",
        std::string("\xcd\x01", 2),
        std::string("\xd9", 1),
        std::string("\xdb\xff\xff\xff\xff", 5),
        std::string("\xdd\xff\xff\xff\xff", 5),
        std::string("\xdf\x00\x00\x00\x03\x01\x02\x03\x04\x05", 10), // 3 entries need 6 items
        std::string("\xc9\x00\x00\x00\x02\x05x", 7),
    };
    for (const std::string& bytes : cases) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        try {
            check(bytes);
            ADD_FAILURE() << "accepted";
        } catch (const msgpack::insufficient_bytes& e) {
            EXPECT_STREQ(e.what(), "insufficient bytes");
        }
    }
}

TEST(PackedObjectCheck, NestingIsBounded)
{
    EXPECT_EQ(check(std::string(3, '\x91') + "\x01", 3), 4u);
    EXPECT_THROW(check(std::string(4, '\x91') + "\x01", 3), msgpack::depth_size_overflow);
    // Siblings do not add up to depth.
    EXPECT_EQ(check("\x93\x91\x01\x91\x01\x91\x01", 2), 7u);
}

TEST(CleanDirPath, GuaranteesOneTrailingSlashByTheLastCharacterOnly)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", "/"}, {"/", "/"}, {"a", "a/"}, {"a/", "a/"}, {"a//", "a//"}, {" a", " a/"}, {"/x/y", "/x/y/"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(vek::clean_dir_path(in), out) << in;
}

} // namespace
