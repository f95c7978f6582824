#pragma once

#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <log4cpp/Layout.hh>

namespace vek {

/// A log4cpp layout that writes exactly what log4cpp's PatternLayout writes for the same
/// conversion pattern, at a fraction of the cost: the pattern is taken apart once, a record is
/// built in one string without streams, and the date text is made once per second. Knows the
/// conversions %c, %d, %m, %n, %p, %t, %x and %% with their width and length modifiers; a
/// pattern with anything else is left to PatternLayout.
class CachedPatternLayout : public log4cpp::Layout {
public:
    /// The layout for `pattern`, or null when the pattern holds something this layout does not
    /// reproduce, or when its output for a probe record differs from PatternLayout's.
    static std::unique_ptr<CachedPatternLayout> compile(const std::string& pattern);

    std::string format(const log4cpp::LoggingEvent& event) override;
    const std::string& pattern() const { return _pattern; }

private:
    enum class Kind { Literal, Category, Date, Message, Priority, Thread, Context };
    struct Piece {
        Kind kind = Kind::Literal;
        std::string text;       // the literal, or the date format before the milliseconds
        std::string text_after; // the date format after the milliseconds
        bool millis = false;    // the date format holds "%l"
        size_t min_width = 0;
        size_t max_width = 0;
        bool align_left = false;
        size_t date_slot = 0; // its cache in _dates
    };
    // The date texts before and after the milliseconds, for one second.
    struct DateCache {
        std::time_t second = -1;
        std::string before;
        std::string after;
    };

    explicit CachedPatternLayout(std::string pattern) : _pattern(std::move(pattern)) {}
    void appendDate(std::string& out, const Piece& piece, DateCache& cache, const log4cpp::LoggingEvent& event);

    std::string _pattern;
    std::vector<Piece> _pieces;
    // One cache per date piece, in the order of the pieces; guarded by _date_mutex, as one
    // appender may serve several threads.
    std::vector<DateCache> _dates;
    std::mutex _date_mutex;
};

/// Gives every appender of the current categories that writes through a PatternLayout a
/// CachedPatternLayout with the same pattern, where that layout reproduces it. Call after
/// log4cpp's configuration; returns how many appenders it changed.
unsigned use_cached_pattern_layouts();

} // namespace vek
