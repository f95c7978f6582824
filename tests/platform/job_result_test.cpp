#include "job_result.h"

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

TEST(JobResult, ReasonUsesShortestStringHeader)
{
    struct Case {
        size_t len;
        std::string header;
    } cases[] = {
        {11, "\xab"},
        {31, "\xbf"},
        {32, std::string("\xd9\x20", 2)},
        {255, std::string("\xd9\xff", 2)},
        {256, std::string("\xda\x01\x00", 3)},
        {65536, std::string("\xdb\x00\x01\x00\x00", 5)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.len);
        std::string reason(c.len, 'r');
        vek::JobResult r(false, reason);
        EXPECT_EQ(packed(r), kHead + "\xc2\xa6reason" + c.header + reason);
    }
}

TEST(JobResult, PackingIgnoresAnswerAndCopiesOwnTheirAnswer)
{
    vek::JobResult r(true, "");
    r.getAnswer() = {'4', '2'};
    EXPECT_EQ(packed(r), kHead + "\xc3\xa6reason\xa0");

    vek::JobResult copy = r;
    copy.getAnswer().push_back('!');
    EXPECT_EQ(r.getAnswer().size(), 2u);
    EXPECT_EQ(copy.getAnswer().size(), 3u);

    copy.setStatus(false);
    copy.setReason("parse error");
    EXPECT_TRUE(r.getStatus());
    EXPECT_EQ(packed(copy), kHead + "\xc2\xa6reason\xabparse error");
}
