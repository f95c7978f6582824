#pragma once

#include "tavlo/error.h"
#include "tavlo/filter_vars.h"

#include <string>

namespace tavlo {

/// An MQTT subscription filter: matches received topics and captures their wildcard levels.
class Filter {
public:
    explicit Filter(const std::string& topicFilter);
    virtual ~Filter();
    Filter(const Filter&) = default;
    Filter& operator=(const Filter&) = default;
    Filter(Filter&&) = default;
    Filter& operator=(Filter&&) = default;

    /// True when the topic matches. Throws tavlo::Error when the matcher rejects the pair (an
    /// invalid filter, a topic with wildcards, a null topic).
    bool compareWithTopic(const char* topic) const;
    /// The wildcard values of a topic already known to match.
    FilterVariables captureFilterVariables(const char* topic);
    /// Byte-wise equality of the filter texts; no normalisation.
    bool operator==(const Filter& other) const;
    const std::string& topicFilter() const { return _topicFilter; }

private:
    std::string _topicFilter;
};

} // namespace tavlo
