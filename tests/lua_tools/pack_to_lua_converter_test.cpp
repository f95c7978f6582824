#include "src/lua_tools/pack_to_lua_converter.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"
#include "lua_test_support.h"
#include "common/c_handle.h"

using luatest::pack;
using luatest::Packer;

namespace {

class Converter : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(L);
        luaL_openlibs(L.get());
        ASSERT_EQ(luaL_dostring(L.get(), luatest::kDumpLua.c_str()), LUA_OK);
    }

    /// Converts bytes onto the stack; the failure text, empty on success.
    std::string convert(const std::string& bytes)
    {
        vek::PackToLuaConverter converter(L.get());
        msgpack::parse(bytes.data(), bytes.size(), converter);
        return converter.failed() ? converter.failure() : std::string();
    }

    /// dump() of the value on top, which is popped.
    std::string dumpTop()
    {
        lua_getglobal(L.get(), "dump");
        lua_insert(L.get(), -2);
        if (lua_pcall(L.get(), 1, 1, 0) != LUA_OK)
            return "dump failed";
        std::string text = lua_tostring(L.get(), -1);
        lua_pop(L.get(), 1);
        return text;
    }

    vek::CHandle<lua_State, lua_close> L{luaL_newstate()};
};

TEST_F(Converter, BuildsTablesAndScalars)
{
    struct Case {
        const char* name;
        std::function<void(Packer&)> build;
        const char* expected;
    } cases[] = {
        {"map with nested array",
         [](Packer& p) {
             p.pack_map(2);
             p.pack("a");
             p.pack(1);
             p.pack("b");
             p.pack_array(2);
             p.pack(true);
             p.pack("x");
         },
         R"({"a"=1,"b"={1=true,2="x"}})"},
        {"empty array", [](Packer& p) { p.pack_array(0); }, "{}"},
        {"empty map", [](Packer& p) { p.pack_map(0); }, "{}"},
        {"nil elements dropped",
         [](Packer& p) {
             p.pack_array(4);
             p.pack(1);
             p.pack_nil();
             p.pack_nil();
             p.pack(3);
         },
         "{1=1,2=3}"},
        {"array of arrays",
         [](Packer& p) {
             p.pack_array(2);
             p.pack_array(2);
             p.pack(1);
             p.pack(2);
             p.pack_array(1);
             p.pack(3);
         },
         "{1={1=1,2=2},2={1=3}}"},
        {"nil map value absent",
         [](Packer& p) {
             p.pack_map(2);
             p.pack("a");
             p.pack_nil();
             p.pack("b");
             p.pack(2);
         },
         R"({"b"=2})"},
        {"repeated key, last wins",
         [](Packer& p) {
             p.pack_map(2);
             p.pack("k");
             p.pack(1);
             p.pack("k");
             p.pack(2);
         },
         R"({"k"=2})"},
        {"keys of other types",
         [](Packer& p) {
             p.pack_map(3);
             p.pack(2);
             p.pack("b");
             p.pack(1);
             p.pack("a");
             p.pack(false);
             p.pack(0.5);
         },
         R"({false=0.5,1="a",2="b"})"},
        {"top-level string", [](Packer& p) { p.pack("hi"); }, R"("hi")"},
        {"top-level boolean", [](Packer& p) { p.pack(true); }, "true"},
        {"top-level nil", [](Packer& p) { p.pack_nil(); }, "nil"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(convert(pack(c.build)), "") << c.name;
        EXPECT_EQ(lua_gettop(L.get()), 1) << c.name;
        EXPECT_EQ(dumpTop(), c.expected) << c.name;
    }
}

TEST_F(Converter, NumbersArriveExactlyOnBothSidesOf32Bits)
{
    const uint64_t u64max = std::numeric_limits<uint64_t>::max();
    const int64_t i64min = std::numeric_limits<int64_t>::min();
    struct Case {
        std::string bytes;
        double expected;
    } cases[] = {
        {pack([](Packer& p) { p.pack_uint64(0); }), 0},
        {pack([](Packer& p) { p.pack_uint64(4294967295u); }), 4294967295.0},
        {pack([](Packer& p) { p.pack_uint64(4294967296u); }), 4294967296.0},
        {pack([](Packer& p) { p.pack_uint64(1ull << 53); }), 9007199254740992.0},
        {pack([&](Packer& p) { p.pack_uint64(u64max); }), static_cast<double>(u64max)},
        {pack([](Packer& p) { p.pack_int64(-1); }), -1},
        {pack([](Packer& p) { p.pack_int64(-2147483648ll); }), -2147483648.0},
        {pack([](Packer& p) { p.pack_int64(-2147483649ll); }), -2147483649.0},
        {pack([&](Packer& p) { p.pack_int64(i64min); }), static_cast<double>(i64min)},
        // Non-negative values in signed formats, as other packers write them.
        {std::string("\xd3\x00\x00\x00\x00\x7f\xff\xff\xff", 9), 2147483647.0},
        {std::string("\xd3\x00\x00\x00\x01\x00\x00\x00\x00", 9), 4294967296.0},
        {pack([](Packer& p) { p.pack_float(0.1f); }), static_cast<double>(0.1f)},
        {pack([](Packer& p) { p.pack_double(0.1); }), 0.1},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(convert(c.bytes), "");
        ASSERT_EQ(lua_type(L.get(), -1), LUA_TNUMBER);
        EXPECT_EQ(lua_tonumber(L.get(), -1), c.expected);
        lua_settop(L.get(), 0);
    }
}

TEST_F(Converter, StrBinAndExtKeepEveryByte)
{
    const std::string raw("a\0b", 3);
    struct Case {
        std::string bytes;
        std::string expected;
    } cases[] = {
        {pack([&](Packer& p) { p.pack(raw); }), raw},
        {pack([&](Packer& p) {
             p.pack_bin(3);
             p.pack_bin_body(raw.data(), 3);
         }),
         raw},
        {pack([&](Packer& p) {
             p.pack_ext(3, 5);
             p.pack_ext_body(raw.data(), 3);
         }),
         "\x05" + raw},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(convert(c.bytes), "");
        size_t length = 0;
        const char* text = lua_tolstring(L.get(), -1, &length);
        EXPECT_EQ(std::string(text, length), c.expected);
        lua_settop(L.get(), 0);
    }
}

TEST_F(Converter, UnusableKeysAndDeepNestingFailCleanly)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::string deepMaps = pack([](Packer& p) {
        for (int i = 0; i < 200; ++i) {
            p.pack_map(1);
            p.pack("k");
        }
        p.pack(1);
    });
    struct Case {
        std::string bytes;
        std::string failure;
    } cases[] = {
        {pack([](Packer& p) {
             p.pack_map(1);
             p.pack_nil();
             p.pack(1);
         }),
         "table index is nil"},
        {pack([&](Packer& p) {
             p.pack_array(1);
             p.pack_map(1);
             p.pack_double(nan);
             p.pack(1);
         }),
         "table index is NaN"},
        {luatest::nestedArrays(201), "arguments nested deeper than 200 levels"},
        {luatest::nestedArrays(200), ""},
        // Two stack slots per open map: far past the slots Lua guarantees without reserving.
        {deepMaps, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(convert(c.bytes), c.failure);
        lua_settop(L.get(), 0);
        // The state is still sound.
        ASSERT_EQ(convert(pack([](Packer& p) {
                      p.pack_array(1);
                      p.pack(7);
                  })),
                  "");
        EXPECT_EQ(dumpTop(), "{1=7}");
    }
}

TEST_F(Converter, LogsEachEvent)
{
    testsupport::LogCapture logs("pack_to_lua");
    convert(pack([](Packer& p) {
        p.pack_array(5);
        p.pack(1);
        p.pack(-1);
        p.pack_nil();
        p.pack(1.5);
        p.pack_map(1);
        p.pack("ab");
        p.pack(true);
    }));
    const std::vector<std::string> expected = {"array start (5)",      "unsigned: 1",
                                               "array item 1",         "signed: -1",
                                               "array item 2",         "nil",
                                               "array item 3",         "float: 1.5",
                                               "array item 3",         "map start (1 key value pairs)",
                                               "string. sz: 2",        "bool: <true>",
                                               "key value pair ready", "map end",
                                               "array item 4",         "array end"};
    EXPECT_EQ(logs.messages("pack_to_lua"), expected);

    logs.clear();
    lua_settop(L.get(), 0);
    convert(std::string("\x92\x01\xc1", 3));
    convert(std::string("\x92\x01", 2));
    convert("");
    EXPECT_EQ(
        logs.messages("pack_to_lua"),
        (std::vector<std::string>{"array start (2)", "unsigned: 1", "array item 1",
                                  "parser_error. parsed_offset: 1 error_offset: 2", "array start (2)", "unsigned: 1",
                                  "array item 1", "insufficient_bytes. parsed_offset: 1 error_offset: 2",
                                  "insufficient_bytes. parsed_offset: 0 error_offset: 0"}));
}

} // namespace
