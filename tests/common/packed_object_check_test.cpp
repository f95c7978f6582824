// The size check against the unpacker it protects: for every input both must reach the same
// verdict, which is what a request's failure reason is made of.
#include "common/packed_object_check.h"

#include "tests/support/test_data.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <msgpack.hpp>
#include <random>
#include <string>
#include <typeinfo>

namespace {

using testsupport::hex;

std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

std::string repeat(const std::string& piece, size_t times)
{
    std::string out;
    for (size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

// "ok <length>" for an object, else the exception's type and text.
template <typename Decode>
std::string verdict(Decode&& decode)
{
    try {
        return "ok " + std::to_string(decode());
    } catch (const std::exception& e) {
        return std::string(typeid(e).name()) + " " + e.what();
    }
}

std::string checkVerdict(const std::string& in, unsigned depth)
{
    return verdict([&] { return vek::check_packed_object(in.data(), in.size(), depth); });
}

std::string unpackVerdict(const std::string& in, unsigned depth)
{
    return verdict([&] {
        std::size_t offset = 0;
        const msgpack::unpack_limit limit(0xffffffff, 0xffffffff, 0xffffffff, 0xffffffff, 0xffffffff, depth);
        msgpack::unpack(in.data(), in.size(), offset, nullptr, nullptr, limit);
        return offset;
    });
}

template <typename E>
std::string error(const char* text)
{
    return std::string(typeid(E).name()) + " " + text;
}

const std::string kParse = error<msgpack::parse_error>("parse error");
const std::string kShort = error<msgpack::insufficient_bytes>("insufficient bytes");
const std::string kDeep = error<msgpack::depth_size_overflow>("depth size overflow");
constexpr bool kNarrowSize = sizeof(size_t) == 4;

struct Case {
    const char* name;
    std::string in;
    std::string expected;
    unsigned depth;
};

TEST(PackedObjectCheck, SameVerdictAsTheUnpacker)
{
    const Case cases[] = {
        {"never-used byte", bytes({0xc1}), kParse, 8},
        {"empty input", "", kShort, 8},
        // Counts beyond the bytes left: the byte the unpacker stops at decides.
        {"fixarray of 2, then 0xc1", bytes({0x92, 0xc1}), kParse, 8},
        {"array 16 of 5, then 0xc1", bytes({0xdc, 0x00, 0x05, 0xc1}), kParse, 8},
        {"fixarray of 2, one element", bytes({0x92, 0x01}), kShort, 8},
        {"array 32 of 2^20, then 0xc1", bytes({0xdd, 0x00, 0x10, 0x00, 0x00, 0x01, 0xc1}), kParse, 8},
        {"map 32 of 2^16, key, then 0xc1", bytes({0xdf, 0x00, 0x01, 0x00, 0x00, 0x01, 0xc1}), kParse, 8},
        {"map 16 of 3, two pairs", bytes({0xde, 0x00, 0x03, 0x01, 0x02, 0x03, 0x04}), kShort, 8},
        {"nested forged arrays, then 0xc1", bytes({0xdc, 0xff, 0xff, 0xdc, 0xff, 0xff, 0xc1}), kParse, 8},
        {"0xc1 as a map key", bytes({0x81, 0xc1, 0x01}), kParse, 8},
        {"0xc1 as a map value", bytes({0x82, 0xa1, 'k', 0xc1}), kParse, 8},
        {"0xc1 in a later element", bytes({0x93, 0x01, 0x91, 0x02, 0xc1}), kParse, 8},
        // Inside a body 0xc1 is data.
        {"0xc1 inside a string that runs short", bytes({0x92, 0xa5, 'a', 0xc1}), kShort, 8},
        {"0xc1 inside a binary", bytes({0x92, 0xc4, 0x02, 0xc1, 0xc1, 0x01, 0xc1}), "ok 6", 8},
        {"0xc1 inside an extension", bytes({0xc7, 0x01, 0x05, 0xc1}), "ok 4", 8},
        {"0xc1 after the object", bytes({0x01, 0xc1}), "ok 1", 8},
        // Headers and bodies that end early.
        {"str 8 without its length", bytes({0xd9}), kShort, 8},
        {"str 32 longer than the input", bytes({0xdb, 0x00, 0x01, 0x00, 0x00, 'a'}), kShort, 8},
        {"fixstr short by one", bytes({0xa3, 'a', 'b'}), kShort, 8},
        {"uint 16 short by one", bytes({0xcd, 0x01}), kShort, 8},
        {"float 64 short", bytes({0xcb, 0x00}), kShort, 8},
        {"fixext 1 without its body", bytes({0xd4, 0x05}), kShort, 8},
        {"fixext 1", bytes({0xd4, 0x05, 0x00}), "ok 3", 8},
        {"ext 32 of 2^32-1 bytes", bytes({0xc9, 0xff, 0xff, 0xff, 0xff}),
         kNarrowSize ? error<msgpack::ext_size_overflow>("ext size overflow") : kShort, 8},
        {"array 16 header cut", bytes({0x91, 0xdc, 0x00}), kShort, 8},
        // Depth: every container counts, the empty ones too, and the depth test comes before
        // the bytes run out.
        {"four levels at a limit of four", repeat("\x91", 4) + "\xc0", "ok 5", 4},
        {"empty array on the fifth level", repeat("\x91", 4) + "\x90", kDeep, 4},
        {"empty map on the fifth level", repeat("\x91", 4) + "\x80", kDeep, 4},
        {"fifth level header, nothing after", repeat("\x91", 5), kDeep, 4},
        {"fifth level header cut", repeat("\x91", 4) + "\xdc", kShort, 4},
        {"0xc1 on the fifth level", repeat("\x91", 4) + "\xc1", kParse, 4},
        {"siblings do not add up", bytes({0x93, 0x91, 0x01, 0x91, 0x02, 0x80}), "ok 6", 2},
        {"map keys nest too", bytes({0x81, 0x81, 0x91, 0x01, 0x02, 0x03}), "ok 6", 3},
        {"map keys nest too deep", bytes({0x81, 0x81, 0x91, 0x91, 0x01, 0x02, 0x03}), kDeep, 3},
        // Complete objects and their lengths.
        {"fixint", bytes({0x01}), "ok 1", 8},
        {"negative fixint and garbage", std::string("\xff garbage"), "ok 1", 8},
        {"empty string", bytes({0xa0}), "ok 1", 8},
        {"str 8", bytes({0xd9, 0x02, 'a', 'b'}), "ok 4", 8},
        {"bin 8 empty", bytes({0xc4, 0x00}), "ok 2", 8},
        {"float 64", bytes({0xcb, 0x43, 0xf0, 0, 0, 0, 0, 0, 0}), "ok 9", 8},
        {"nested array with tail", std::string("\x92\x01\x91\x02tail", 8), "ok 4", 8},
        {"map with empty array", bytes({0x81, 0xa1, 'k', 0x90}), "ok 4", 8},
        {"array 16 of two", bytes({0xdc, 0x00, 0x02, 0x01, 0x02}), "ok 5", 8},
        {"map 16 of one", bytes({0xde, 0x00, 0x01, 0x01, 0x02}), "ok 5", 8},
        {"empty array 32", bytes({0xdd, 0, 0, 0, 0}), "ok 5", 8},
        {"request", bytes({0x82, 0xa1, 's', 0xa1, 'x', 0xa4, 'a', 'r', 'g', 's', 0xc0}), "ok 11", 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ": " + hex(c.in));
        EXPECT_EQ(checkVerdict(c.in, c.depth), c.expected);
        EXPECT_EQ(unpackVerdict(c.in, c.depth), c.expected);
    }
}

// Inputs whose declared counts the unpacker would try to allocate (gigabytes), so only the
// check runs; the verdict is the one the unpacker reaches when that allocation succeeds.
TEST(PackedObjectCheck, ForgedCountsCostNothing)
{
    const Case cases[] = {
        // With a 32-bit size_t the unpacker refuses such a count as soon as it reads it.
        {"array 32 of 2^32-1", bytes({0xdd, 0xff, 0xff, 0xff, 0xff}),
         kNarrowSize ? error<msgpack::array_size_overflow>("array size overflow") : kShort, 8},
        {"array 32 of 2^32-1, then 0xc1", bytes({0xdd, 0xff, 0xff, 0xff, 0xff, 0xc1}),
         kNarrowSize ? error<msgpack::array_size_overflow>("array size overflow") : kParse, 8},
        {"map 32 of 2^32-1, then 0xc1", bytes({0xdf, 0xff, 0xff, 0xff, 0xff, 0xc1}),
         kNarrowSize ? error<msgpack::map_size_overflow>("map size overflow") : kParse, 8},
        {"map 32 of 2^24 inside an array", bytes({0x91, 0xdf, 0x01, 0x00, 0x00, 0x00, 0x01}), kShort, 8},
        // A 64 KiB MQTT payload of nested array 16 headers, and 1 MiB of nested fixmaps.
        {"array 16 of 65535, 21845 levels", repeat("\xdc\xff\xff", 21845), kDeep, vek::packed_object_max_depth},
        {"fixmap of 15, 2^20 levels", repeat("\x8f", 1 << 20), kDeep, vek::packed_object_max_depth},
        {"array 16 of 65535, 1000 levels, cut", repeat("\xdc\xff\xff", 1000), kShort, vek::packed_object_max_depth},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(checkVerdict(c.in, c.depth), c.expected);
    }
}

// Every input of up to two bytes, and a seeded sample of longer ones built from the bytes that
// steer the parser, with counts small enough for the unpacker to allocate.
TEST(PackedObjectCheck, SameVerdictOnGeneratedInputs)
{
    auto compare = [](const std::string& in, unsigned depth) {
        const std::string expected = unpackVerdict(in, depth);
        const std::string got = checkVerdict(in, depth);
        if (got != expected)
            ADD_FAILURE() << hex(in) << " at depth " << depth << ": check " << got << ", unpack " << expected;
        return got == expected;
    };
    for (int a = 0; a < 256; ++a) {
        compare(bytes({a}), 1);
        for (int b = 0; b < 256; ++b)
            compare(bytes({a, b}), 1);
    }

    const int alphabet[] = {0x00, 0x01, 0x7f, 0x80, 0x81, 0x82, 0x8f, 0x90, 0x91, 0x92, 0x9f,
                            0xa0, 0xa1, 0xa3, 0xc0, 0xc1, 0xc2, 0xc4, 0xc7, 0xc9, 0xca, 0xcb,
                            0xcd, 0xd4, 0xd8, 0xd9, 0xdb, 0xdc, 0xdd, 0xde, 0xdf, 0xe0, 0xff};
    std::mt19937 random(12345);
    int failures = 0;
    for (int i = 0; i < 40000 && failures < 10; ++i) {
        std::string in;
        const size_t length = 1 + random() % 14;
        while (in.size() < length) {
            const int type = alphabet[random() % (sizeof alphabet / sizeof alphabet[0])];
            in.push_back(static_cast<char>(type));
            // Counts and lengths of the 32-bit headers stay below 2^16.
            if (type == 0xdb || type == 0xdd || type == 0xdf || type == 0xc9)
                in += bytes({0, 0});
            if (random() % 2)
                in.push_back(static_cast<char>(random() % 4));
        }
        failures += !compare(in, 1 + random() % 4);
    }
}

} // namespace
