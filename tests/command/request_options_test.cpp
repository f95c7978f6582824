// vek-request's option parsing, in this process: tables of command lines and what they give.
#include "request_options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

using vek::request::Options;
using vek::request::parseArguments;
using vek::request::ParseOutcome;

struct Parsed {
    ParseOutcome outcome;
    Options options;
    std::string err;
};

Parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "vek-request");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Parsed parsed{ParseOutcome::Usage, {}, {}};
    std::ostringstream err;
    parsed.outcome = parseArguments(static_cast<int>(args.size()), argv.data(), parsed.options, err);
    parsed.err = err.str();
    return parsed;
}

TEST(RequestOptionsTest, AcceptedCommandLines)
{
    auto p = parse({"echo"});
    ASSERT_EQ(p.outcome, ParseOutcome::Run);
    EXPECT_EQ(p.options.script, "echo");
    EXPECT_TRUE(p.options.args.is_null());
    EXPECT_EQ(p.options.port, 1883);
    EXPECT_EQ(p.options.qos, 2);
    EXPECT_EQ(p.options.timeout_s, 10);

    p = parse({"-H", "fleet", "-t", "0.25", "-q", "1", "echo", R"({"a":[1,2]})"});
    ASSERT_EQ(p.outcome, ParseOutcome::Run);
    EXPECT_EQ(p.options.host, "fleet");
    EXPECT_EQ(p.options.timeout_s, 0.25);
    EXPECT_EQ(p.options.qos, 1);
    EXPECT_EQ(p.options.args["a"][1], 2);

    // TLS moves the default port; an explicit one stays.
    EXPECT_EQ(parse({"--cafile", "ca.crt", "echo"}).options.port, 8883);
    EXPECT_EQ(parse({"--cafile", "ca.crt", "-p", "9000", "echo"}).options.port, 9000);

    p = parse({"-d", "A", "--prefix", "site/7/", "--dock", "B", "echo"});
    ASSERT_EQ(p.outcome, ParseOutcome::Run);
    ASSERT_EQ(p.options.targets.size(), 3u);
    EXPECT_EQ(p.options.targets[0].prefix, "docks/A/");
    EXPECT_EQ(p.options.targets[1].label, "site/7/");
    EXPECT_EQ(p.options.targets[1].prefix, "site/7/");
    EXPECT_EQ(p.options.targets[2].label, "B");

    p = parse({"--status", "--json", "--all"});
    ASSERT_EQ(p.outcome, ParseOutcome::Run);
    EXPECT_TRUE(p.options.status && p.options.json && p.options.all_docks);
    EXPECT_TRUE(p.options.script.empty());
    EXPECT_EQ(parse({"-s", "-d", "A"}).outcome, ParseOutcome::Run);

    // Options end at the script: a negative number after it is the job's arguments.
    p = parse({"echo", "-5"});
    ASSERT_EQ(p.outcome, ParseOutcome::Run);
    EXPECT_EQ(p.options.script, "echo");
    EXPECT_EQ(p.options.args, -5);
}

TEST(RequestOptionsTest, PasswordFromAFileOrTheEnvironmentOnly)
{
    char path[] = "/tmp/vek-request-pw-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "s3cret\n", 7), 7);
    close(fd);
    ::unsetenv(vek::request::kPasswordVariable);

    auto p = parse({"-u", "op", "--password-file", path, "echo"});
    ASSERT_EQ(p.outcome, ParseOutcome::Run) << p.err;
    ASSERT_TRUE(p.options.password);
    EXPECT_EQ(*p.options.password, "s3cret");

    EXPECT_FALSE(parse({"-u", "op", "echo"}).options.password) << "no file, no environment: no password";
    ::setenv(vek::request::kPasswordVariable, "from-env", 1);
    p = parse({"-u", "op", "echo"});
    ASSERT_TRUE(p.options.password);
    EXPECT_EQ(*p.options.password, "from-env");
    p = parse({"-u", "op", "--password-file", path, "echo"});
    EXPECT_EQ(*p.options.password, "s3cret") << "the file wins over the environment";
    ::unsetenv(vek::request::kPasswordVariable);
    ::unlink(path);
}

TEST(RequestOptionsTest, HelpWinsOverTheRest)
{
    EXPECT_EQ(parse({"--help"}).outcome, ParseOutcome::Help);
    EXPECT_EQ(parse({"-h"}).outcome, ParseOutcome::Help);
    EXPECT_EQ(parse({"-H", "x", "--help", "echo"}).outcome, ParseOutcome::Help);
}

TEST(RequestOptionsTest, RefusedCommandLinesSayWhy)
{
    const struct {
        std::vector<std::string> args;
        const char* message; // empty: the usage alone says it
    } cases[] = {
        {{}, ""},
        {{"a", "1", "2"}, ""},
        {{"--nosuch", "echo"}, ""},
        {{"-p"}, ""},
        {{""}, "empty script name"},
        {{"echo", "{not json"}, "not valid JSON"},
        {{"-p", "0", "echo"}, "invalid port \"0\""},
        {{"-p", "65536", "echo"}, "invalid port"},
        {{"-p", "nan", "echo"}, "invalid port"},
        {{"-p", "80.5", "echo"}, "invalid port"},
        {{"-p", "1e300", "echo"}, "invalid port"},
        {{"-t", "0", "echo"}, "invalid time-out"},
        {{"-t", "-1", "echo"}, "invalid time-out"},
        {{"-t", "86401", "echo"}, "invalid time-out"},
        {{"-t", "inf", "echo"}, "invalid time-out"},
        {{"-q", "0", "echo"}, "invalid QoS \"0\""},
        {{"-q", "12", "echo"}, "invalid QoS"},
        {{"-d", "a/b", "echo"}, "invalid dock id \"a/b\""},
        {{"-d", "+", "echo"}, "invalid dock id"},
        {{"-d", "", "echo"}, "invalid dock id"},
        {{"--prefix", "docks/#/", "echo"}, "invalid prefix"},
        {{"-d", "A", "--prefix", "docks/A/", "echo"}, "given twice"},
        {{"--cert", "c.pem", "--cafile", "ca", "echo"}, "--cert and --key go together"},
        {{"--cert", "c.pem", "--key", "k.pem", "echo"}, "needs --cafile"},
        {{"-P", "secret", "echo"}, ""}, // a password on the command line is refused
        {{"--password-file", "/etc/hostname", "echo"}, "--password-file needs --username"},
        {{"-u", "op", "--password-file", "/nonexistent/pw", "echo"}, "password file /nonexistent/pw"},
        {{"--status", "echo"}, "--status takes no script"},
        {{"--status", "--all", "-d", "A"}, "exclude each other"},
        {{"--json", "echo"}, "go with --status"},
        {{"--all", "echo"}, "go with --status"},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& a : c.args)
            line += "[" + a + "] ";
        const Parsed p = parse(c.args);
        EXPECT_EQ(p.outcome, ParseOutcome::Usage) << line;
        if (*c.message)
            EXPECT_NE(p.err.find(c.message), std::string::npos) << line << "-> " << p.err;
        else
            EXPECT_EQ(p.err, "") << line;
    }
}

} // namespace
