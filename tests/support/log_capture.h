#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

namespace testsupport {

class MemoryAppender;

/// Captures log4cpp records in memory while it lives, so that a test can assert the system's own
/// log texts. Attached to one category (the root by default, which sees every category through
/// additivity); the category's priority is lowered to DEBUG for the capture and restored after.
class LogCapture {
public:
    struct Entry {
        std::string category;
        int priority;
        std::string message;
    };

    explicit LogCapture(const std::string& category = "");
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Entry> entries() const;
    /// Messages of one category (all categories when empty), in order.
    std::vector<std::string> messages(const std::string& category = "") const;
    /// Some record's message contains the text.
    bool contains(const std::string& text) const;
    /// Some record of this category and priority has exactly this message.
    bool has(const std::string& category, log4cpp::Priority::Value priority, const std::string& message) const;
    /// Number of records whose message contains the text.
    size_t count(const std::string& text) const;
    /// Waits until some record's message contains the text (for records from other threads).
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout) const;
    void clear();

private:
    log4cpp::Category& _category;
    log4cpp::Priority::Value _oldPriority;
    std::unique_ptr<MemoryAppender> _appender;
};

} // namespace testsupport
