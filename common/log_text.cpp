#include "common/log_text.h"

namespace vek {

std::string escaped(std::string_view text, size_t limit)
{
    const bool cut = limit != 0 && text.size() > limit;
    const std::string_view shown = cut ? text.substr(0, limit) : text;
    std::string out;
    out.reserve(shown.size());
    static const char digits[] = "0123456789abcdef";
    for (const char c : shown) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (byte < 0x20 || byte == 0x7f) {
                out += "\\x";
                out += digits[byte >> 4];
                out += digits[byte & 0x0f];
            } else {
                out += c;
            }
        }
    }
    if (cut)
        out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

} // namespace vek
