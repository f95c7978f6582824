#include "service_fixture.h"

namespace commandtest {
namespace {

using testsupport::ChildProcess;

class VekRequestTest : public ServiceTest {
protected:
    /// Runs vek-request against the test broker; returns its exit status.
    int run(std::vector<std::string> args, std::string* out = nullptr, std::string* err = nullptr)
    {
        args.insert(args.begin(), {VEK_REQUEST, "-H", "127.0.0.1", "-p", std::to_string(broker->port())});
        ChildProcess request(args);
        const auto status = request.waitExitCode(15s);
        if (out)
            *out = request.stdoutText();
        if (err)
            *err = request.stderrText();
        return status.value_or(-1);
    }
};

TEST_F(VekRequestTest, PrintsAnswersAndFailuresAndEndsTheTransaction)
{
    script("echo", "return args.msg");
    script("count", "return #args");
    script("silent", "local x = 1");
    auto service = startService(config());
    auto watcher = client();
    std::string out, err;

    EXPECT_EQ(run({"echo", R"({"msg": "hello \u00e9"})"}, &out, &err), 0) << err;
    EXPECT_EQ(out, "hello \xc3\xa9\n");
    EXPECT_EQ(run({"count", R"([1, 2.5, "three", {"four": 4}])"}, &out), 0);
    EXPECT_EQ(out, "4\n");
    EXPECT_EQ(run({"silent"}, &out), 0);
    EXPECT_EQ(out, "\n");
    EXPECT_EQ(run({"nosuch"}, &out, &err), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "failed: Cannot run job. Script not found \"nosuch.lua\"\n");

    // Each request ended its transaction: results went out and were cleared again.
    // The service ends the last one after vek-request has gone: wait for it.
    std::vector<std::string> emptied;
    for (const auto deadline = std::chrono::steady_clock::now() + 10s;
         emptied.size() < 5 && std::chrono::steady_clock::now() < deadline;)
        if (auto m = watcher->next(100ms); m && m->payload.empty())
            emptied.push_back(m->topic);
    EXPECT_EQ(emptied.size(), 5u); // the silent job's own empty answer, then four transaction ends
    auto leftover = client("");
    leftover->subscribe("out/cmd/#");
    EXPECT_FALSE(leftover->next(300ms));
}

TEST_F(VekRequestTest, ExitsWithTwoWithoutAnAnswerOrOnMisuse)
{
    std::string err;
    // Nobody serves requests on this broker.
    EXPECT_EQ(run({"-t", "0.5", "echo"}, nullptr, &err), 2);
    EXPECT_NE(err.find("no answer"), std::string::npos) << err;
    const std::vector<std::string> misuse[] = {{},
                                               {"echo", "{not json"},
                                               {"-t", "never", "echo"},
                                               {"a", "1", "2"},
                                               {"-p", "nan", "echo"},
                                               {"-p", "1e300", "echo"},
                                               {"-p", "80.5", "echo"}};
    for (const auto& args : misuse) {
        EXPECT_EQ(run(args, nullptr, &err), 2);
        EXPECT_NE(err.find("usage: vek-request"), std::string::npos) << err;
    }
    ChildProcess refused({VEK_REQUEST, "-p", std::to_string(testsupport::freeLoopbackPort()), "echo"});
    EXPECT_EQ(refused.waitExitCode(10s), 2);
}

TEST_F(VekRequestTest, HelpGoesToStandardOutputWithStatusZero)
{
    std::string out, err;
    EXPECT_EQ(run({"--help"}, &out, &err), 0);
    EXPECT_EQ(out.rfind("usage: vek-request", 0), 0u) << out;
    EXPECT_EQ(err, "");
}

} // namespace
} // namespace commandtest
