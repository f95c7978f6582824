#include "tavlo/filter_vars.h"

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace tavlo {

FilterVariables::FilterVariables(std::vector<Wildcard> wildcards, const char* topic) : _wildcards(std::move(wildcards))
{
    const size_t len = topic ? std::strlen(topic) : 0;
    size_t p = 0;
    int level = 0;
    for (Wildcard& w : _wildcards) {
        // Advance to the wildcard's level. The end of the topic is checked before each read: a
        // topic may end before a wildcard's level ("+/#" matches "a"), and then this wildcard and
        // all later ones stay empty.
        while (w.pos != level) {
            if (p >= len)
                return;
            if (topic[p] == '/')
                ++level;
            ++p;
        }
        if (w.multilevel) {
            if (p < len)
                w.value.assign(topic + p, len - p);
            return;
        }
        while (p < len) {
            if (topic[p] == '/') {
                ++level;
                ++p;
                break;
            }
            w.value += topic[p];
            ++p;
        }
    }
}

FilterVariables::~FilterVariables() = default;

const Wildcard& FilterVariables::get(int index) const
{
    if (index < 0 || static_cast<size_t>(index) >= _wildcards.size())
        throw std::out_of_range("FilterVariables::get: index " + std::to_string(index) + " but " +
                                std::to_string(_wildcards.size()) + " wildcards");
    return _wildcards[static_cast<size_t>(index)];
}

} // namespace tavlo
