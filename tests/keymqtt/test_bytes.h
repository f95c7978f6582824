#pragma once

#include <string>
#include <vector>

/// A byte string written as a list of byte values, for MessagePack vectors.
inline std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

/// "91 CE 00 08 09 02": readable failure output for binary payloads.
inline std::string hex(const std::string& data)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : data) {
        if (!out.empty())
            out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}
