#pragma once

#include "mqtt_test_client.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

using RetainedMessages = std::vector<MqttTestClient::Message>;

/// What the broker on this port holds retained under the filter: the retained messages a new
/// subscriber gets, all of them, at the QoS of a QoS 2 subscription. The subscriber ends at a
/// marker of its own (MqttTestClient::sync): the broker queues a subscription's retained messages
/// while it handles the subscription, before it reads the marker, and sends to one client in
/// order, so nothing is left on its way. A message the broker has not yet received is not there,
/// so this answers "nothing is retained" exactly, and "this is retained" only once the message has
/// reached the broker (a subscriber saw it live, or the call below waited for it).
RetainedMessages retained(int port, const std::string& filter);

/// Looks again and again until what is retained satisfies `expected`, for messages still on
/// their way to the broker; what was retained at the last look (when the timeout passed without
/// `expected` holding, the test's own assertions then show what was there).
RetainedMessages retained(int port, const std::string& filter,
                          const std::function<bool(const RetainedMessages&)>& expected,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));

/// Looks until at least `count` messages are retained under the filter.
RetainedMessages retained(int port, const std::string& filter, size_t count,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));

/// The retained message on exactly this topic, if any, from one complete look.
std::optional<MqttTestClient::Message> retainedOn(int port, const std::string& topic);

} // namespace testsupport
