#include "common/log_text.h"

namespace vek {

std::string escaped(std::string_view text, size_t limit)
{
    const bool cut = limit != 0 && text.size() > limit;
    const std::string_view shown = cut ? text.substr(0, limit) : text;
    // Ordinary names need no escape: copied whole, which is what nearly every log line takes.
    size_t plain = 0;
    while (plain < shown.size()) {
        const auto byte = static_cast<unsigned char>(shown[plain]);
        if (byte < 0x20 || byte == 0x7f || byte == '\\')
            break;
        ++plain;
    }
    std::string out(shown.substr(0, plain));
    if (plain == shown.size() && !cut)
        return out;
    out.reserve(shown.size() + 16);
    static const char digits[] = "0123456789abcdef";
    for (const char c : shown.substr(plain)) {
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
