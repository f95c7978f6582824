#pragma once

#include <string>
#include <vector>

namespace tavlo {

/// One wildcard of a topic filter and the topic text captured for it.
struct Wildcard {
    Wildcard(int pos, bool multilevel);

    /// The wildcards of a filter in the order they occur. The filter is not validated: a '+' counts
    /// wherever it stands, and nothing after a '#' is looked at.
    static std::vector<Wildcard> generatePlaceholders(const std::string& filter);

    std::string value; ///< captured topic text; empty when the topic has no such level
    int pos;           ///< zero-based topic level of the wildcard in the filter
    bool multilevel;   ///< '#' rather than '+'
};

} // namespace tavlo
