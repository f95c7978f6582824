#pragma once

#include <string>
#include <vector>

#include "test_data.h"

using testsupport::hex;

/// A byte string written as a list of byte values, for MessagePack vectors.
inline std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

