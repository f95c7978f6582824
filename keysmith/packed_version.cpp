#include "packed_version.h"

#include <cctype>

namespace keysmith {

namespace {

// Wraps instead of overflowing, as the decoding always did.
uint32_t decimalValue(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    uint32_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
        value = value * 10u + static_cast<uint32_t>(text[i] - '0');
    return negative ? 0u - value : value;
}

} // namespace

uint32_t packVersion(const std::string& text)
{
    uint32_t packed = 0;
    unsigned index = 0;
    size_t pos = 0;
    while (pos < text.size() && index < 3) {
        size_t dot = text.find('.', pos);
        if (dot == std::string::npos)
            dot = text.size();
        if (dot > pos)
            packed |= decimalValue(text.substr(pos, dot - pos)) << (16 - 8 * index++);
        pos = dot + 1;
    }
    return packed;
}

std::string versionText(uint32_t version)
{
    return std::to_string(version >> 16) + "." + std::to_string((version >> 8) & 0xFF) + "." +
        std::to_string(version & 0xFF);
}

} // namespace keysmith
