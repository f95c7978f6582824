#include "log_capture.h"

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/LoggingEvent.hh>
#include <thread>

namespace testsupport {

class MemoryAppender : public log4cpp::AppenderSkeleton {
public:
    MemoryAppender() : log4cpp::AppenderSkeleton("test-memory") {}
    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout*) override {}

    std::vector<LogCapture::Entry> entries() const
    {
        std::lock_guard<std::mutex> lock(_mutex);
        return _entries;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _entries.clear();
    }

protected:
    void _append(const log4cpp::LoggingEvent& event) override
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _entries.push_back({event.categoryName, static_cast<int>(event.priority), event.message});
    }

private:
    mutable std::mutex _mutex;
    std::vector<LogCapture::Entry> _entries; // guarded by _mutex
};

LogCapture::LogCapture(const std::string& category)
    : _category(category.empty() ? log4cpp::Category::getRoot() : log4cpp::Category::getInstance(category)),
      _oldPriority(_category.getPriority()), _appender(std::make_unique<MemoryAppender>())
{
    _category.setPriority(log4cpp::Priority::DEBUG);
    _category.addAppender(*_appender);
}

LogCapture::~LogCapture()
{
    _category.removeAppender(_appender.get());
    _category.setPriority(_oldPriority);
}

std::vector<LogCapture::Entry> LogCapture::entries() const { return _appender->entries(); }

std::vector<std::string> LogCapture::messages(const std::string& category) const
{
    std::vector<std::string> out;
    for (const auto& e : entries())
        if (category.empty() || e.category == category)
            out.push_back(e.message);
    return out;
}

bool LogCapture::contains(const std::string& text) const { return count(text) > 0; }

bool LogCapture::has(const std::string& category, log4cpp::Priority::Value priority, const std::string& message) const
{
    for (const auto& e : entries())
        if (e.category == category && e.priority == static_cast<int>(priority) && e.message == message)
            return true;
    return false;
}

size_t LogCapture::count(const std::string& text) const
{
    size_t n = 0;
    for (const auto& e : entries())
        if (e.message.find(text) != std::string::npos)
            ++n;
    return n;
}

bool LogCapture::waitFor(const std::string& text, std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (contains(text))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return contains(text);
}

void LogCapture::clear() { _appender->clear(); }

} // namespace testsupport
