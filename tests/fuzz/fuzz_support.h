#pragma once

// Helpers shared by the fuzz targets. A target reports a broken property with check(), which
// prints what went wrong with the input in hex and aborts: libFuzzer then keeps the input as a
// crash artifact, and the replay driver fails its CTest entry.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <log4cpp/Priority.hh>

namespace fuzz {

/// A job script that visits every key and value of its arguments and answers with the type of
/// `args` and the number of values it saw: the job of the targets that run whole jobs.
extern const char* const kWalkArgsScript;

/// Aborts with the text and the input when ok is false.
void check(bool ok, const std::string& what);

/// The input under test, for the reports of check(); set by each target first.
void setInput(const uint8_t* data, size_t size);

/// "0a 1b ..." of at most max bytes, with the total size when cut.
std::string hex(const void* data, size_t size, size_t max = 64);

/// Routes every log4cpp record into memory at DEBUG, so that each format and stream record is
/// really formatted, and nothing reaches the terminal. Installed once per process.
class LogSink {
public:
    struct Record {
        std::string category;
        int priority;
        std::string message;
    };

    static LogSink& instance();
    void clear();
    const std::vector<Record>& records() const { return _records; }
    /// Some record of this category and priority has exactly this message.
    bool has(const std::string& category, log4cpp::Priority::Value priority, const std::string& message) const;

private:
    friend class SinkAppender;
    LogSink();
    std::vector<Record> _records;
};

/// While it lives, the heap may grow by at most limit bytes: an allocation past that aborts at
/// once with a report, before a forged size can take the machine's memory. Works where the
/// AddressSanitizer runtime is present (the libFuzzer and ASan builds); elsewhere it measures
/// nothing and the replay driver's address-space limit is the only bound.
class HeapBound {
public:
    explicit HeapBound(size_t limit, const char* what);
    ~HeapBound();
    HeapBound(const HeapBound&) = delete;
    HeapBound& operator=(const HeapBound&) = delete;
    /// Largest growth seen so far (0 without the runtime).
    size_t peak() const;
    static bool available();
};

} // namespace fuzz
