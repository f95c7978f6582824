#include "common/log_text.h"

#include <gtest/gtest.h>

namespace {

TEST(LogText, ControlCharactersAreEscapedAndLongTextCut)
{
    struct Case {
        const char* name;
        std::string text;
        size_t limit;
        std::string shown;
    } cases[] = {
        {"ordinary name", "system_status", 200, "system_status"},
        {"path and punctuation", "/var/lib/job-scripts/a b.lua", 200, "/var/lib/job-scripts/a b.lua"},
        {"UTF-8 stays", "gr\xc3\xbc\xc3\x9f", 200, "gr\xc3\xbc\xc3\x9f"},
        {"newline forging a record", "x\nERROR [main] forged", 200, "x\\nERROR [main] forged"},
        {"carriage return and tab", "a\rb\tc", 200, "a\\rb\\tc"},
        {"zero byte", std::string("a\0b", 3), 200, "a\\x00b"},
        {"escape and DEL", "\x1b[2J\x7f", 200, "\\x1b[2J\\x7f"},
        {"backslash", "a\\n", 200, "a\\\\n"},
        {"at the limit", "abcd", 4, "abcd"},
        {"over the limit", "abcdef", 4, "abcd... (6 bytes)"},
        {"no limit", std::string(500, 'a'), 0, std::string(500, 'a')},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vek::escaped(c.text, c.limit), c.shown) << c.name;
}

} // namespace
