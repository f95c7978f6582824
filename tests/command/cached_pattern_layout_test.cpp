#include "src/cached_pattern_layout.h"

#include <sstream>

#include <gtest/gtest.h>
#include <log4cpp/BasicLayout.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/PatternLayout.hh>

using log4cpp::LoggingEvent;
using log4cpp::Priority;

namespace {

std::string reference(const std::string& pattern, const LoggingEvent& event)
{
    log4cpp::PatternLayout layout;
    layout.setConversionPattern(pattern);
    return layout.format(event);
}

LoggingEvent event(const std::string& category, const std::string& message, Priority::Value priority, unsigned seconds,
                   unsigned micros)
{
    LoggingEvent e(category, message, "context", priority);
    e.timeStamp = log4cpp::TimeStamp(seconds, micros);
    return e;
}

TEST(CachedPatternLayout, WritesWhatPatternLayoutWrites)
{
    const char* patterns[] = {
        "%d{%Y-%m-%d %H:%M:%S.%l} %-5p [%c] %m%n", // the examples' pattern
        "%-5p [%c] %m%n",                          // the packages' pattern
        "%d %p %c %m%n",                           // the named default date, ISO8601
        "%d{ISO8601}|%d{ABSOLUTE}|%d{DATE}|%m",
        "%d{%l}%d{%H%l%S}%d{%s}",           // milliseconds first, twice, none
        "%10c|%-10c|%.3m|%8.3p|%-8.3p|%3m", // widths, truncation, both
        "%%%m%% 100%% %n%n",
        "%t %x %m",
        "no conversions at all",
        "",
        "%m{ignored} %p{ignored}",
        "%d{%A, %d %B %Y, %H hours %M minutes %S seconds and %l ms} %m", // long, still fits
    };
    const LoggingEvent events[] = {
        event("commandHandler", "Received command request, job_id: 7", Priority::INFO, 1700000000, 0),
        event("lua_agent", "", Priority::ERROR, 1700000000, 999999),
        event("a.rather.long.category.name", "a message\nwith a line break", Priority::DEBUG, 1700000001, 1000),
        event("mosq", "x", Priority::NOTSET, 1700086400, 12345),
        event("script", std::string("zero\0byte", 9), Priority::FATAL, 1700000000, 500000),
        event("root", "the same second as the first again", Priority::WARN, 1700000000, 7000),
    };
    for (const char* pattern : patterns) {
        auto layout = vek::CachedPatternLayout::compile(pattern);
        ASSERT_TRUE(layout) << pattern;
        // In order, so that the date cache sees new seconds and an earlier one again.
        for (const LoggingEvent& e : events)
            EXPECT_EQ(layout->format(e), reference(pattern, e)) << pattern << " / " << e.message;
    }
}

TEST(CachedPatternLayout, LeavesWhatItDoesNotReproduceToPatternLayout)
{
    const char* patterns[] = {
        "%c{2} %m", // category precision
        "%r %m",    // milliseconds since start
        "%R %m",    // seconds since the epoch
        "%u %m",    // clock ticks
        "%5%%m",    // modifiers on a literal carry over in PatternLayout
        "%-n%m",
        "%m %",               // unterminated
        "%d{%%l} %m",         // escaped percent in a date
        "%d{%c %c %c %c} %m", // could overflow PatternLayout's 100-byte buffer
        "%d{%H:%M %} %m",     // a date format ending in a lone "%"
        "%d{%H:%M %E} %m",
        "%.p",
        "%-p",
    };
    for (const char* pattern : patterns)
        EXPECT_FALSE(vek::CachedPatternLayout::compile(pattern)) << pattern;
}

TEST(CachedPatternLayout, ReplacesPatternLayoutsOfConfiguredAppenders)
{
    std::ostringstream patterned, basic;
    auto& category = log4cpp::Category::getInstance("cached_layout_test");
    category.setAdditivity(false);
    category.setPriority(Priority::INFO);
    auto* with_pattern = new log4cpp::OstreamAppender("cached_layout_pattern", &patterned);
    auto* pattern = new log4cpp::PatternLayout;
    pattern->setConversionPattern("%-5p <%c> %m%n");
    with_pattern->setLayout(pattern);
    auto* with_basic = new log4cpp::OstreamAppender("cached_layout_basic", &basic);
    with_basic->setLayout(new log4cpp::BasicLayout);
    category.addAppender(with_pattern);
    category.addAppender(with_basic);

    category.info("before");
    EXPECT_GE(vek::use_cached_pattern_layouts(), 1u);
    category.info("after");
    category.debug("not written");
    EXPECT_EQ(patterned.str(), "INFO  <cached_layout_test> before\nINFO  <cached_layout_test> after\n");
    // BasicLayout starts with the time: only the rest is compared.
    EXPECT_NE(basic.str().find("INFO cached_layout_test : after"), std::string::npos) << "[" << basic.str() << "]";

    category.removeAllAppenders();
}

} // namespace
