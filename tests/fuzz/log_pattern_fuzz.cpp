// The cached log layout over an arbitrary conversion pattern (the configuration file's): it
// either refuses the pattern, or writes exactly what log4cpp's PatternLayout writes for it, for
// records of every priority, at times that move between seconds and come back.

#include <cstdint>
#include <string>

#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/PatternLayout.hh>

#include "fuzz_support.h"
#include "src/cached_pattern_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::setInput(data, size);
    if (size > 512)
        return 0; // a pattern is a line of a configuration file
    const std::string pattern(reinterpret_cast<const char*>(data), size);
    auto layout = vek::CachedPatternLayout::compile(pattern);
    if (!layout)
        return 0;
    log4cpp::PatternLayout reference;
    reference.setConversionPattern(pattern); // it took the pattern for compile()'s own check
    const struct {
        const char* category;
        const char* message;
        log4cpp::Priority::Value priority;
        unsigned seconds;
        unsigned micros;
    } records[] = {
        {"commandHandler", "Received command request, job_id: 1", log4cpp::Priority::INFO, 1700000000, 0},
        {"a.b.c", "", log4cpp::Priority::ERROR, 1700000000, 999999},
        {"", "x%dy%n", log4cpp::Priority::DEBUG, 1730000000, 500},
        {"script", "next second", log4cpp::Priority::FATAL, 1700000001, 1000},
        {"lua_agent", "back again", log4cpp::Priority::NOTSET, 1700000000, 42000},
    };
    for (const auto& r : records) {
        log4cpp::LoggingEvent event(r.category, r.message, "ndc", r.priority);
        event.timeStamp = log4cpp::TimeStamp(r.seconds, r.micros);
        fuzz::check(layout->format(event) == reference.format(event),
                    "the cached layout differs from PatternLayout for \"" + pattern + "\"");
    }
    return 0;
}
