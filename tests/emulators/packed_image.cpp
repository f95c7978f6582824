#include "packed_image.h"

namespace emulators {

uint8_t crc8Maxim(const uint8_t* data, size_t length)
{
    uint8_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
    }
    return crc;
}

UnpackedImage unpackImage(const std::vector<uint8_t>& packed)
{
    constexpr size_t kBlock = 256;
    UnpackedImage out;
    if (packed.empty()) {
        out.error = "empty image";
        return out;
    }
    size_t pos = 0;
    bool shortSeen = false;
    while (pos < packed.size()) {
        size_t at = pos;
        if (packed.size() - pos < 4) {
            out.error = "truncated block header at " + std::to_string(at);
            return out;
        }
        uint32_t n =
            packed[pos] | packed[pos + 1] << 8 | packed[pos + 2] << 16 | static_cast<uint32_t>(packed[pos + 3]) << 24;
        pos += 4;
        if (n == 0 || n > kBlock || shortSeen) {
            out.error = "bad block length " + std::to_string(n) + " at " + std::to_string(at);
            return out;
        }
        if (packed.size() - pos < n + 1) {
            out.error = "truncated block at " + std::to_string(at);
            return out;
        }
        if (crc8Maxim(&packed[pos], n) != packed[pos + n]) {
            out.error = "CRC-8 mismatch in block at " + std::to_string(at);
            return out;
        }
        out.data.insert(out.data.end(), packed.begin() + pos, packed.begin() + pos + n);
        pos += n + 1;
        shortSeen = n < kBlock;
        out.blocks++;
    }
    out.ok = true;
    return out;
}

} // namespace emulators
