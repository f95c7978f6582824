#pragma once

#include "tavlo/wildcard.h"

#include <vector>

namespace tavlo {

/// The values a topic gave to the wildcards of a filter, handed to every message handler.
class FilterVariables {
public:
    /// Captures, in one pass over the topic, the text at each wildcard's level. The caller has
    /// already established that the topic matches; levels missing from the topic stay empty and a
    /// null topic counts as an empty one.
    FilterVariables(std::vector<Wildcard> wildcards, const char* topic);
    virtual ~FilterVariables();
    FilterVariables(const FilterVariables&) = default;
    FilterVariables& operator=(const FilterVariables&) = default;
    FilterVariables(FilterVariables&&) = default;
    FilterVariables& operator=(FilterVariables&&) = default;

    /// The wildcard at index (0 = first of the filter); std::out_of_range when there is none.
    const Wildcard& get(int index) const;
    const std::vector<Wildcard>& getWildcards() const { return _wildcards; }

private:
    std::vector<Wildcard> _wildcards;
};

} // namespace tavlo
