#include "tavlo/wildcard.h"

namespace tavlo {

Wildcard::Wildcard(int atLevel, bool isMultilevel) : pos(atLevel), multilevel(isMultilevel) {}

std::vector<Wildcard> Wildcard::generatePlaceholders(const std::string& filter)
{
    std::vector<Wildcard> placeholders;
    int level = 0;
    for (char c : filter) {
        if (c == '/') {
            ++level;
        } else if (c == '+') {
            placeholders.emplace_back(level, false);
        } else if (c == '#') {
            // '#' is the last level of any valid filter; what follows is the matcher's to reject.
            placeholders.emplace_back(level, true);
            break;
        }
    }
    return placeholders;
}

} // namespace tavlo
