#include "retained.h"

#include <thread>

namespace testsupport {

RetainedMessages retained(int port, const std::string& filter)
{
    MqttTestClient fresh(port);
    fresh.connect();
    fresh.subscribe(filter, 2);
    fresh.sync();
    // Live messages that came in meanwhile are not the broker's store.
    RetainedMessages kept;
    for (auto& m : fresh.received())
        if (m.retain)
            kept.push_back(std::move(m));
    return kept;
}

RetainedMessages retained(int port, const std::string& filter,
                          const std::function<bool(const RetainedMessages&)>& expected,
                          std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        RetainedMessages kept = retained(port, filter);
        if (expected(kept) || std::chrono::steady_clock::now() >= deadline)
            return kept;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

RetainedMessages retained(int port, const std::string& filter, size_t count, std::chrono::milliseconds timeout)
{
    return retained(
        port, filter, [count](const RetainedMessages& kept) { return kept.size() >= count; }, timeout);
}

std::optional<MqttTestClient::Message> retainedOn(int port, const std::string& topic)
{
    for (auto& m : retained(port, topic))
        if (m.topic == topic)
            return std::move(m);
    return std::nullopt;
}

} // namespace testsupport
