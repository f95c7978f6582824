#include "tavlo/logging.h"

#include <log4cpp/Priority.hh>
#include <string>

namespace tavlo {

void log_message(int priority, log4cpp::Category& category, const std::vector<Wildcard>& wildcards,
                 const mosquitto_message* message)
{
    if (!message || !category.isPriorityEnabled(priority))
        return;
    std::string text = "\n================= MESSAGE ===================\n";
    text += "  topic: ";
    text += message->topic ? message->topic : "<NULL>";
    text += "\n";
    int number = 1;
    for (const Wildcard& w : wildcards) {
        text += "  var " + std::to_string(number++) + ": " + w.value + "\n";
    }
    text += "  QoS: " + std::to_string(message->qos) + "\n";
    text += "  retained: " + std::string(message->retain ? "1" : "0") + "\n\n";
    text += "  msg length: " + std::to_string(message->payloadlen) + "\n";
    text += "=============================================";
    category.log(priority, text);
}

int mosq_to_l4cpp_prio(int level)
{
    switch (level) {
    case MOSQ_LOG_INFO: return log4cpp::Priority::INFO;
    case MOSQ_LOG_NOTICE: return log4cpp::Priority::NOTICE;
    case MOSQ_LOG_WARNING: return log4cpp::Priority::WARN;
    case MOSQ_LOG_ERR: return log4cpp::Priority::ERROR;
    case MOSQ_LOG_DEBUG: return log4cpp::Priority::DEBUG;
    default: // MOSQ_LOG_NONE and anything the table does not know
        return log4cpp::Priority::NOTSET;
    }
}

} // namespace tavlo
