#include "src/lua_tools/job_result.h"

#include <gtest/gtest.h>
#include <msgpack.hpp>

namespace {

std::string packed(const vek::JobResult& r)
{
    msgpack::sbuffer buf;
    msgpack::pack(buf, r);
    return std::string(buf.data(), buf.size());
}

const std::string kHead = std::string("\x82\xa6status", 8);

} // namespace

TEST(JobResult, DefaultPacksAsFailureWithEmptyReason)
{
    vek::JobResult r;
    EXPECT_FALSE(r.getStatus());
    EXPECT_STREQ(r.getReason(), "");
    EXPECT_EQ(packed(r), kHead + "\xc2\xa6reason\xa0");
}

TEST(JobResult, PackingLeavesTheAnswerOut)
{
    vek::JobResult r(true, "");
    r.getAnswer() = {'4', '2'};
    EXPECT_EQ(packed(r), kHead + "\xc3\xa6reason\xa0");

    r.setStatus(false);
    r.setReason("parse error");
    EXPECT_EQ(packed(r), kHead + "\xc2\xa6reason\xabparse error");
}
