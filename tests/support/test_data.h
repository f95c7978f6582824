#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace testsupport {

/// "92 C3 CE 00 08 09 04": readable failure output for binary payloads.
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

/// A byte string written as a list of byte values, for MessagePack and wire vectors.
inline std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

/// Data that looks like firmware: no long runs, every byte value present (xorshift32).
inline std::vector<uint8_t> firmwareBytes(size_t n, unsigned seed = 1)
{
    std::vector<uint8_t> b(n);
    uint32_t x = 2463534242u * seed;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[i] = static_cast<uint8_t>(x);
    }
    return b;
}

} // namespace testsupport
