#pragma once
// The key's view of a packed firmware file: blocks of a 4-byte little-endian length n, n data
// bytes and the CRC-8/MAXIM of those bytes; every block holds 256 bytes but the last (1-256).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace emulators {

struct UnpackedImage {
    bool ok = false;
    std::vector<uint8_t> data;
    size_t blocks = 0;
    std::string error; ///< why it is not ok
};

/// CRC-8/MAXIM (reflected polynomial 0x8C, initial 0, no final XOR).
uint8_t crc8Maxim(const uint8_t* data, size_t length);

/// Checks every block's length and CRC-8 and joins the data. An empty image is not ok.
UnpackedImage unpackImage(const std::vector<uint8_t>& packed);

} // namespace emulators
