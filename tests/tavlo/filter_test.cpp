#include <tavlo/client.h>

#include <cstring>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using tavlo::Filter;
using tavlo::FilterVariables;
using tavlo::Wildcard;

std::string describe(const std::vector<Wildcard>& wildcards)
{
    std::string out;
    for (const Wildcard& w : wildcards)
        out += "(" + std::to_string(w.pos) + (w.multilevel ? ",multi)" : ",single)");
    return out;
}

TEST(WildcardTest, PlaceholdersTable)
{
    struct Case {
        const char* filter;
        const char* expected;
    };
    const Case cases[] = {
        {"in/key/+/request", "(2,single)"},
        {"in/cmd/+", "(2,single)"},
        {"a/+/c/#", "(1,single)(3,multi)"},
        {"#", "(0,multi)"},
        {"a/#/b", "(1,multi)"}, // nothing after '#' is scanned
        {"a/#/+/#", "(1,multi)"},
        {"a/b", ""},
        {"", ""},
        {"a/b+c", "(1,single)"}, // not validated here: a '+' anywhere counts
        {"++/x", "(0,single)(0,single)"},
        {"+/+/+", "(0,single)(1,single)(2,single)"},
        {"//+", "(2,single)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter);
        const std::vector<Wildcard> placeholders = Wildcard::generatePlaceholders(c.filter);
        EXPECT_EQ(describe(placeholders), c.expected);
        for (const Wildcard& w : placeholders)
            EXPECT_TRUE(w.value.empty());
    }
}

// Captures through the filter with the topic in a heap buffer of exactly its size, so that a read
// past the topic's end is caught under AddressSanitizer.
std::vector<std::string> capture(const std::string& filter, const std::string& topic)
{
    auto buffer = std::make_unique<char[]>(topic.size() + 1);
    std::memcpy(buffer.get(), topic.c_str(), topic.size() + 1);
    const FilterVariables vars = Filter(filter).captureFilterVariables(buffer.get());
    std::vector<std::string> values;
    for (const Wildcard& w : vars.getWildcards())
        values.push_back(w.value);
    return values;
}

TEST(FilterVariablesTest, CaptureTable)
{
    struct Case {
        const char* filter;
        const char* topic;
        std::vector<std::string> values;
    };
    const Case cases[] = {
        {"in/key/+/request", "in/key/00A1B2C3/request", {"00A1B2C3"}},
        {"in/cmd/+", "in/cmd/job-17", {"job-17"}},
        {"+/+/+", "a//c", {"a", "", "c"}},
        {"+/+/+", "//", {"", "", ""}},
        {"a/#", "a/x/y", {"x/y"}},
        {"#", "x/y/z", {"x/y/z"}},
        {"#", "/x/", {"/x/"}},
        {"a/+/c/#", "a/b/c", {"b", ""}},
        {"a/+/c/#", "a/b/c/d/e", {"b", "d/e"}},
        {"a/#", "a", {""}},
        {"a/#", "a/", {""}},
        {"a/b", "a/b", {}},
        // The topic ends before the '#' level ("+/#" matches "a"): the capture stops at the end.
        {"+/#", "a", {"a", ""}},
        {"in/+/#", "in/x", {"x", ""}},
        // Not matching, but the capture does not check and must still stay inside the topic.
        {"+/+/+", "a", {"a", "", ""}},
        {"a/b/+", "a", {""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.filter) + " on " + c.topic);
        EXPECT_EQ(capture(c.filter, c.topic), c.values);
    }
}

TEST(FilterVariablesTest, NullTopicLeavesValuesEmpty)
{
    FilterVariables vars(Wildcard::generatePlaceholders("+/#"), nullptr);
    ASSERT_EQ(vars.getWildcards().size(), 2u);
    EXPECT_EQ(vars.get(0).value, "");
    EXPECT_EQ(vars.get(1).value, "");
}

TEST(FilterVariablesTest, GetIsBoundsChecked)
{
    FilterVariables one = Filter("in/cmd/+").captureFilterVariables("in/cmd/42");
    EXPECT_EQ(one.get(0).value, "42");
    EXPECT_EQ(one.get(0).pos, 2);
    EXPECT_FALSE(one.get(0).multilevel);
    EXPECT_THROW(one.get(1), std::out_of_range);
    EXPECT_THROW(one.get(-1), std::out_of_range);

    FilterVariables none = Filter("a/b").captureFilterVariables("a/b");
    EXPECT_TRUE(none.getWildcards().empty());
    EXPECT_THROW(none.get(0), std::out_of_range);
}

TEST(FilterTest, MatchTable)
{
    struct Case {
        const char* filter;
        const char* topic;
        bool matches;
    };
    const Case cases[] = {
        {"in/cmd/+", "in/cmd/42", true},
        {"in/cmd/+", "in/cmd/42/x", false},
        {"in/cmd/+", "in/cmd", false},
        {"in/key/+/request", "in/key/00A1B2C3/request", true},
        {"in/key/+/request", "in/key/00A1B2C3/result", false},
        {"foo/#", "foo", true},
        {"foo/+/+/baz", "foo///baz", true},
        {"a/b/c", "a/b/c/", false},
        {"+/#", "a", true},
        {"#", "$SYS/broker", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.filter) + " on " + c.topic);
        EXPECT_EQ(Filter(c.filter).compareWithTopic(c.topic), c.matches);
    }
}

TEST(FilterTest, MatcherFailureText)
{
    struct Case {
        const char* filter;
        const char* topic;
        const char* text;
    };
    const Case cases[] = {
        {"a/#/b", "a/x/b",
         "Filter::compareWithTopic topic comparison with filter failed.\ntopic = a/x/b\nfilter = a/#/b\n"
         "error msg = Invalid function arguments provided."},
        {"foo+", "foo",
         "Filter::compareWithTopic topic comparison with filter failed.\ntopic = foo\nfilter = foo+\n"
         "error msg = Invalid function arguments provided."},
        {"a/b", nullptr,
         "Filter::compareWithTopic topic comparison with filter failed.\ntopic = <NULL>\nfilter = a/b\n"
         "error msg = Invalid function arguments provided."},
        {"a/+", "a/+", // wildcards in a topic
         "Filter::compareWithTopic topic comparison with filter failed.\ntopic = a/+\nfilter = a/+\n"
         "error msg = Invalid function arguments provided."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter);
        Filter filter(c.filter);
        try {
            filter.compareWithTopic(c.topic);
            ADD_FAILURE() << "no tavlo::Error";
        } catch (const tavlo::Error& e) {
            EXPECT_STREQ(e.what(), c.text);
            EXPECT_EQ(e.mosquittoCode(), MOSQ_ERR_INVAL);
        }
        EXPECT_EQ(filter.topicFilter(), c.filter);
    }
}

TEST(FilterTest, EqualityDoesNotNormalise)
{
    EXPECT_TRUE(Filter("in/cmd/+") == Filter("in/cmd/+"));
    EXPECT_FALSE(Filter("in/cmd/+") == Filter("in/cmd/+/")) << "a trailing '/' makes another filter";
}

} // namespace
