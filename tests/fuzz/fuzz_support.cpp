#include "fuzz_support.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>

#if defined(__SANITIZE_ADDRESS__)
#define VEK_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEK_FUZZ_ASAN 1
#endif
#endif

#ifdef VEK_FUZZ_ASAN
// The sanitizer runtimes of both compilers have these; GCC ships no header declaring them.
extern "C" {
size_t __sanitizer_get_allocated_size(const volatile void* p);
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                              void (*free_hook)(const volatile void*));
}
#endif

namespace fuzz {

const char* const kWalkArgsScript = R"(-- Visits every key and value of the job's arguments.
local seen = 0
local function walk(value)
  seen = seen + 1
  if type(value) == "table" then
    for k, v in pairs(value) do
      walk(k)
      walk(v)
    end
  end
end
walk(args)
return type(args) .. " " .. seen
)";

namespace {

const uint8_t* g_input = nullptr;
size_t g_inputSize = 0;

} // namespace

void setInput(const uint8_t* data, size_t size)
{
    g_input = data;
    g_inputSize = size;
}

std::string hex(const void* data, size_t size, size_t max)
{
    static const char digits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::string text;
    for (size_t i = 0; i < size && i < max; ++i) {
        if (i)
            text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    if (size > max)
        text += " ... (" + std::to_string(size) + " bytes)";
    return text;
}

void check(bool ok, const std::string& what)
{
    if (ok)
        return;
    std::fprintf(stderr, "\n*** fuzz property broken: %s\n*** input: %s\n", what.c_str(),
                 hex(g_input, g_inputSize, 256).c_str());
    std::fflush(stderr);
    std::abort();
}

// Appenders are owned by the category they are added to; this one lives for the process.
class SinkAppender : public log4cpp::AppenderSkeleton {
public:
    explicit SinkAppender(LogSink& sink) : AppenderSkeleton("fuzz"), _sink(sink) {}
    bool reopen() override { return true; }
    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout*) override {}

protected:
    void _append(const log4cpp::LoggingEvent& event) override
    {
        // Enough history for a target to look at what one input logged.
        if (_sink._records.size() >= 4096)
            _sink._records.erase(_sink._records.begin(), _sink._records.begin() + 2048);
        _sink._records.push_back({event.categoryName, event.priority, event.message});
    }

private:
    LogSink& _sink;
};

LogSink::LogSink()
{
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.removeAllAppenders();
    root.addAppender(new SinkAppender(*this));
    root.setPriority(log4cpp::Priority::DEBUG);
}

LogSink& LogSink::instance()
{
    static LogSink* sink = new LogSink; // outlives every static that might log at exit
    return *sink;
}

void LogSink::clear() { _records.clear(); }

bool LogSink::has(const std::string& category, log4cpp::Priority::Value priority, const std::string& message) const
{
    for (const Record& r : _records)
        if (r.category == category && r.priority == priority && r.message == message)
            return true;
    return false;
}

namespace {

// Growth of the heap while a bound is active. The hooks run inside the allocator: no allocation,
// no locks, nothing but atomics and a raw write before aborting.
std::atomic<bool> g_active{false};
std::atomic<long long> g_live{0};
std::atomic<long long> g_peak{0};
long long g_limit = 0;
const char* g_what = "";

#ifdef VEK_FUZZ_ASAN
void onMalloc(const volatile void*, size_t size)
{
    if (!g_active.load(std::memory_order_relaxed))
        return;
    const long long live = g_live.fetch_add(static_cast<long long>(size)) + static_cast<long long>(size);
    long long peak = g_peak.load();
    while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
    }
    if (live > g_limit) {
        char text[160];
        const int n =
            std::snprintf(text, sizeof text, "\n*** fuzz property broken: %s: heap grew by %lld bytes, bound %lld\n",
                          g_what, live, g_limit);
        if (n > 0)
            (void)!::write(2, text, static_cast<size_t>(n));
        g_active = false;
        std::abort();
    }
}

void onFree(const volatile void* p)
{
    if (g_active.load(std::memory_order_relaxed) && p)
        g_live.fetch_sub(static_cast<long long>(__sanitizer_get_allocated_size(p)));
}
#endif

} // namespace

bool HeapBound::available()
{
#ifdef VEK_FUZZ_ASAN
    static const bool installed = __sanitizer_install_malloc_and_free_hooks(&onMalloc, &onFree) != 0;
    return installed;
#else
    return false;
#endif
}

HeapBound::HeapBound(size_t limit, const char* what)
{
    if (!available())
        return;
    g_limit = static_cast<long long>(limit);
    g_what = what;
    g_live = 0;
    g_peak = 0;
    g_active = true;
}

HeapBound::~HeapBound() { g_active = false; }

size_t HeapBound::peak() const { return static_cast<size_t>(g_peak.load()); }

} // namespace fuzz
