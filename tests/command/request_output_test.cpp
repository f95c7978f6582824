// vek-request's output: failure results, escaping and the per-dock lines with their exit status.
#include "request_output.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace vek::request;

// The packed failure result {"status": false, "reason": reason}.
std::string failure(const std::string& reason)
{
    return std::string("\x82\xa6status\xc2\xa6reason", 16) + static_cast<char>(0xa0 + reason.size()) + reason;
}

TEST(RequestOutputTest, FailureReasonOnlyForTheExactFailureMap)
{
    EXPECT_EQ(failureReason(failure("no script")), "no script");
    const std::string notFailures[] = {
        "",
        "hello",
        std::string("\x82\xa6status\xc3\xa6reason\xa2no", 19),          // status true
        std::string("\x82\xa6status\xc2\xa6reasox\xa2no", 19),          // another key
        std::string("\x82\xa6status\xc2\xa6reason\x05", 17),            // reason not a string
        std::string("\x82\xa6status\xc2", 9),                           // truncated
        std::string("\x83\xa6status\xc2\xa6reason\xa2no\xa1x\x01", 22), // three entries
    };
    for (const std::string& answer : notFailures)
        EXPECT_FALSE(failureReason(answer)) << testing::PrintToString(answer);
}

TEST(RequestOutputTest, OneLineEscapesControlBytesAndTheBackslash)
{
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain text", "plain text"},       {"a\nb\rc\td", "a\\nb\\rc\\td"},
        {"back\\slash", "back\\\\slash"},   {std::string("nul\0end", 7), "nul\\x00end"},
        {"\x1b[31m\x7f", "\\x1b[31m\\x7f"}, {"caf\xc3\xa9", "caf\xc3\xa9"}, // bytes above 0x7f stay
    };
    for (const auto& c : cases)
        EXPECT_EQ(oneLine(c.in), c.out);
}

Transaction answered(const std::string& label, std::optional<std::string> answer)
{
    return Transaction{{label, "docks/" + label + "/"}, "", "docks/" + label + "/out/cmd/j", std::move(answer), -1};
}

TEST(RequestOutputTest, DockLinesAndExitStatus)
{
    Options options;
    options.targets = {{"A", "docks/A/"}, {"B", "docks/B/"}};
    options.timeout_s = 2.5;
    const struct {
        std::vector<Transaction> transactions;
        bool lost, interrupted;
        std::string out;
        int status;
    } cases[] = {
        {{answered("A", "1"), answered("B", "two\nlines")}, false, false, "A ok 1\nB ok two\\nlines\n", 0},
        {{answered("A", "1"), answered("B", failure("bad"))}, false, false, "A ok 1\nB failed bad\n", 1},
        {{answered("A", failure("x")), answered("B", std::nullopt)},
         false,
         false,
         "A failed x\nB failed no answer within 2.5 s\n",
         2},
        {{answered("A", std::nullopt), answered("B", "")},
         true,
         false,
         "A failed connection to the broker lost\nB ok \n",
         2},
        {{answered("A", std::nullopt), answered("B", std::nullopt)},
         false,
         true,
         "A failed interrupted\nB failed interrupted\n",
         2},
    };
    for (const auto& c : cases) {
        std::ostringstream out, err;
        EXPECT_EQ(report(options, c.transactions, c.lost, c.interrupted, out, err), c.status) << c.out;
        EXPECT_EQ(out.str(), c.out);
        EXPECT_EQ(err.str(), "");
    }
}

TEST(RequestOutputTest, ATerminalSeesControlBytesEscapedAFileTheBytes)
{
    // An answer must not be able to move the cursor or retitle the window of whoever reads it.
    const std::string hostile = "ok\x1b]0;owned\x07\tline\n\x7f";
    EXPECT_EQ(vek::request::forTerminal(hostile), "ok\\x1b]0;owned\\x07\tline\n\\x7f");
    Options options;
    const std::vector<Transaction> answered{{{"", ""}, "in/cmd/j", "out/cmd/j", hostile, -1}};
    std::ostringstream out, err;
    EXPECT_EQ(report(options, answered, false, false, out, err, {true, true}), 0);
    EXPECT_EQ(out.str(), vek::request::forTerminal(hostile) + "\n");
    std::ostringstream file, ferr;
    EXPECT_EQ(report(options, answered, false, false, file, ferr, {false, false}), 0);
    EXPECT_EQ(file.str(), hostile + "\n");

    const std::vector<Transaction> failed{{{"", ""}, "in/cmd/j", "out/cmd/j", failure("bad\x1b[2J"), -1}};
    std::ostringstream fout, terr;
    EXPECT_EQ(report(options, failed, false, false, fout, terr, {true, true}), 1);
    EXPECT_EQ(terr.str(), "failed: bad\\x1b[2J\n");
}

TEST(RequestOutputTest, SingleServiceAnswerGoesOutAsItCame)
{
    Options options;
    const struct {
        std::optional<std::string> answer;
        bool lost;
        std::string out, err;
        int status;
    } cases[] = {
        {std::string("raw\n\x01", 5), false, std::string("raw\n\x01\n", 6), "", 0},
        {failure("Script not found"), false, "", "failed: Script not found\n", 1},
        {std::nullopt, false, "", "vek-request: no answer on out/cmd/j within 10 s\n", 2},
        {std::nullopt, true, "", "vek-request: the connection was lost before the answer came\n", 2},
    };
    for (const auto& c : cases) {
        std::ostringstream out, err;
        const std::vector<Transaction> transactions{{{"", ""}, "in/cmd/j", "out/cmd/j", c.answer, -1}};
        EXPECT_EQ(report(options, transactions, c.lost, false, out, err), c.status);
        EXPECT_EQ(out.str(), c.out);
        EXPECT_EQ(err.str(), c.err);
    }
}

} // namespace
