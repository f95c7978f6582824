#pragma once

#include "tavlo/wildcard.h"

#include <log4cpp/Category.hh>
#include <mosquitto.h>
#include <vector>

namespace tavlo {

/// Logs a dump of a received message (topic, wildcard values, QoS, retain flag, payload length;
/// never the payload) as one record, formatting nothing when the priority is disabled.
void log_message(int priority, log4cpp::Category& category, const std::vector<Wildcard>& wildcards,
                 const mosquitto_message* message);

/// The log4cpp priority for a mosquitto log level; NOTSET for levels it does not know.
int mosq_to_l4cpp_prio(int level);

} // namespace tavlo
