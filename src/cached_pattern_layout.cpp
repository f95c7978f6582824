#include "cached_pattern_layout.h"

#include <cctype>
#include <cstdio>
#include <set>

#include <log4cpp/Appender.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/LayoutAppender.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>

namespace vek {

namespace {

// The date formats PatternLayout knows by name.
std::string dateFormat(const std::string& argument)
{
    if (argument.empty() || argument == "ISO8601")
        return "%Y-%m-%d %H:%M:%S,%l";
    if (argument == "ABSOLUTE")
        return "%H:%M:%S,%l";
    if (argument == "DATE")
        return "%d %b %Y %H:%M:%S,%l";
    return argument;
}

std::string formatTime(const std::string& format, const std::tm& time)
{
    // PatternLayout formats into 100 bytes; compile() refuses formats that could need more.
    char text[100];
    const size_t length = std::strftime(text, sizeof text, format.c_str(), &time);
    return std::string(text, length);
}

// The most characters a date format can give, for the "C" locale the service runs in (it never
// sets another); a conversion it does not know counts generously.
size_t widestDate(const std::string& format)
{
    size_t width = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            ++width;
            continue;
        }
        if (++i < format.size() && (format[i] == 'E' || format[i] == 'O'))
            ++i;
        if (i >= format.size())
            return 1000; // a lone "%" at the end: refused
        switch (format[i]) {
        case 'n':
        case 't': width += 1; break;
        case 'd':
        case 'e':
        case 'H':
        case 'I':
        case 'k':
        case 'l':
        case 'm':
        case 'M':
        case 'S':
        case 'y':
        case 'C':
        case 'g':
        case 'V':
        case 'U':
        case 'W':
        case 'u':
        case 'w':
        case 'p':
        case 'P': width += 2; break;
        case 'a':
        case 'b':
        case 'h':
        case 'j': width += 3; break;
        case 'R': width += 5; break;
        case 'z':
        case 'Z': width += 6; break;
        case 'D':
        case 'T':
        case 'x':
        case 'X': width += 8; break;
        case 'A':
        case 'B': width += 9; break;
        case 'F':
        case 'r': width += 11 + 6; break; // a year may have more than four digits
        case 'Y':
        case 'G': width += 11; break;
        case 'c': width += 24 + 7; break;
        case 's': width += 20; break;
        default: width += 32; break;
        }
    }
    return width;
}

// Reads the digits at pattern[i...] into value; false when there are none.
bool readNumber(const std::string& pattern, size_t& i, size_t& value)
{
    const size_t start = i;
    value = 0;
    while (i < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[i])) && i - start < 6)
        value = value * 10 + static_cast<size_t>(pattern[i++] - '0');
    return i > start;
}

// The protected layout accessor of LayoutAppender, reached through a member pointer taken in a
// derived class: log4cpp offers no other way to read an appender's layout.
struct LayoutOf : log4cpp::LayoutAppender {
    static log4cpp::Layout& get(log4cpp::LayoutAppender& appender) { return (appender.*(&LayoutOf::_getLayout))(); }
};

} // namespace

std::unique_ptr<CachedPatternLayout> CachedPatternLayout::compile(const std::string& pattern)
{
    // The same reading of the pattern as PatternLayout::setConversionPattern.
    std::unique_ptr<CachedPatternLayout> layout(new CachedPatternLayout(pattern));
    std::string literal;
    auto flush = [&] {
        if (!literal.empty()) {
            Piece piece;
            piece.kind = Kind::Literal;
            piece.text = literal;
            layout->_pieces.push_back(std::move(piece));
            literal.clear();
        }
    };
    size_t i = 0;
    while (i < pattern.size()) {
        const char ch = pattern[i++];
        if (ch != '%') {
            literal += ch;
            continue;
        }
        Piece piece;
        if (i < pattern.size() && pattern[i] == '-') {
            piece.align_left = true;
            ++i;
            if (!readNumber(pattern, i, piece.min_width))
                return nullptr;
        } else if (i < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[i]))) {
            readNumber(pattern, i, piece.min_width);
        }
        if (i < pattern.size() && pattern[i] == '.') {
            ++i;
            if (!readNumber(pattern, i, piece.max_width))
                return nullptr;
        }
        if (i >= pattern.size())
            return nullptr; // PatternLayout refuses it
        const char conversion = pattern[i++];
        std::string argument;
        if (i < pattern.size() && pattern[i] == '{') {
            const size_t end = pattern.find('}', i);
            argument = pattern.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
            i = end == std::string::npos ? pattern.size() : end + 1;
        }
        const bool modified = piece.min_width != 0 || piece.max_width != 0 || piece.align_left;
        switch (conversion) {
        case '%':
        case 'n':
            // PatternLayout carries modifiers of these over to the next conversion.
            if (modified)
                return nullptr;
            literal += conversion == '%' ? "%" : "\n";
            continue;
        case 'm': piece.kind = Kind::Message; break;
        case 'p': piece.kind = Kind::Priority; break;
        case 't': piece.kind = Kind::Thread; break;
        case 'x': piece.kind = Kind::Context; break;
        case 'c':
            if (!argument.empty())
                return nullptr; // a precision: not reproduced here
            piece.kind = Kind::Category;
            break;
        case 'd': {
            const std::string format = dateFormat(argument);
            // "%%" could pair up with the milliseconds' split. PatternLayout formats into 100
            // bytes and writes whatever the buffer holds when the text does not fit.
            if (format.find("%%") != std::string::npos || widestDate(format) + 3 >= 100)
                return nullptr;
            piece.kind = Kind::Date;
            const size_t millis = format.find("%l");
            piece.millis = millis != std::string::npos;
            piece.text = format.substr(0, millis);
            if (piece.millis)
                piece.text_after = format.substr(millis + 2);
            piece.date_slot = layout->_dates.size();
            layout->_dates.emplace_back();
            break;
        }
        default: return nullptr;
        }
        flush();
        layout->_pieces.push_back(std::move(piece));
    }
    flush();

    // Proof against PatternLayout itself, on a record with every field set.
    try {
        log4cpp::PatternLayout reference;
        reference.setConversionPattern(pattern);
        const log4cpp::LoggingEvent probe("probe.category", "probe message\twith a tab", "probe context",
                                          log4cpp::Priority::WARN);
        if (reference.format(probe) != layout->format(probe))
            return nullptr;
    } catch (const std::exception&) {
        return nullptr;
    }
    return layout;
}

void CachedPatternLayout::appendDate(std::string& out, const Piece& piece, DateCache& cache,
                                     const log4cpp::LoggingEvent& event)
{
    const std::time_t second = event.timeStamp.getSeconds();
    std::lock_guard<std::mutex> lock(_date_mutex);
    if (cache.second != second) {
        std::tm time{};
        localtime_r(&second, &time);
        cache.before = formatTime(piece.text, time);
        cache.after = piece.millis ? formatTime(piece.text_after, time) : std::string();
        cache.second = second;
    }
    out += cache.before;
    if (piece.millis) {
        const int ms = event.timeStamp.getMilliSeconds();
        if (ms >= 0 && ms < 1000) {
            const char digits[3] = {static_cast<char>('0' + ms / 100), static_cast<char>('0' + ms / 10 % 10),
                                    static_cast<char>('0' + ms % 10)};
            out.append(digits, 3);
        } else {
            out += std::to_string(ms);
        }
        out += cache.after;
    }
}

std::string CachedPatternLayout::format(const log4cpp::LoggingEvent& event)
{
    std::string out;
    out.reserve(event.message.size() + 96);
    std::string field;
    for (const Piece& piece : _pieces) {
        const bool modified = piece.min_width != 0 || piece.max_width != 0;
        std::string& target = modified ? field : out;
        if (modified)
            field.clear();
        switch (piece.kind) {
        case Kind::Literal: target += piece.text; break;
        case Kind::Category: target += event.categoryName; break;
        case Kind::Message: target += event.message; break;
        case Kind::Priority: target += log4cpp::Priority::getPriorityName(event.priority); break;
        case Kind::Thread: target += event.threadName; break;
        case Kind::Context: target += event.ndc; break;
        case Kind::Date: appendDate(target, piece, _dates[piece.date_slot], event); break;
        }
        if (!modified)
            continue;
        if (piece.max_width > 0 && piece.max_width < field.size())
            field.erase(piece.max_width);
        const size_t fill = piece.min_width > field.size() ? piece.min_width - field.size() : 0;
        if (!piece.align_left)
            out.append(fill, ' ');
        out += field;
        if (piece.align_left)
            out.append(fill, ' ');
    }
    return out;
}

unsigned use_cached_pattern_layouts()
{
    unsigned changed = 0;
    std::unique_ptr<std::vector<log4cpp::Category*>> categories(log4cpp::Category::getCurrentCategories());
    std::set<log4cpp::Appender*> seen;
    for (log4cpp::Category* category : *categories) {
        for (log4cpp::Appender* appender : category->getAllAppenders()) {
            if (!seen.insert(appender).second)
                continue;
            auto* with_layout = dynamic_cast<log4cpp::LayoutAppender*>(appender);
            if (!with_layout)
                continue;
            const auto* pattern = dynamic_cast<const log4cpp::PatternLayout*>(&LayoutOf::get(*with_layout));
            if (!pattern)
                continue;
            std::unique_ptr<CachedPatternLayout> cached = CachedPatternLayout::compile(pattern->getConversionPattern());
            if (!cached)
                continue;
            appender->setLayout(cached.release()); // the appender owns it now
            ++changed;
        }
    }
    return changed;
}

} // namespace vek
