#include "tavlo/filter.h"

#include <mosquittopp.h>

#include "null_text.h"

namespace tavlo {

Filter::Filter(const std::string& topicFilter) : _topicFilter(topicFilter) {}

Filter::~Filter() = default;

bool Filter::compareWithTopic(const char* topic) const
{
    bool result = false;
    const int rc = mosqpp::topic_matches_sub(_topicFilter.c_str(), topic, &result);
    if (rc == 0)
        return result;
    std::string message = "Filter::compareWithTopic topic comparison with filter failed.\n";
    message += "topic = ";
    message += orNull(topic);
    message += "\nfilter = ";
    message += _topicFilter;
    message += "\nerror msg = ";
    message += orNull(mosqpp::strerror(rc));
    throw MosquittoError(message, rc);
}

FilterVariables Filter::captureFilterVariables(const char* topic)
{
    return FilterVariables(Wildcard::generatePlaceholders(_topicFilter), topic);
}

bool Filter::operator==(const Filter& other) const { return _topicFilter == other._topicFilter; }

} // namespace tavlo
