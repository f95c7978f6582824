#include "tag_item.h"

#include <algorithm>
#include <cstring>

namespace {

void putLe(uint8_t* out, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t getLe(const uint8_t* in, int bytes)
{
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= static_cast<uint32_t>(in[i]) << (8 * i);
    return v;
}

} // namespace

void TagItemUInt32::writeValue(uint8_t* out) const { putLe(out, _value, 4); }

void TagItemUInt16::writeValue(uint8_t* out) const { putLe(out, _value, 2); }

size_t TagItemString::getValue(char* buf, size_t max) const
{
    if (max == 0 || !buf)
        return 0;
    size_t n = std::min(_text.size(), max - 1);
    std::memcpy(buf, _text.data(), n);
    buf[n] = '\0';
    return n + 1;
}

void TagItemString::writeValue(uint8_t* out) const
{
    std::memcpy(out, _text.data(), _text.size());
    out[_text.size()] = 0;
}

size_t TagItemBytes::getValue(uint8_t* buf, size_t max) const
{
    size_t n = std::min(_bytes.size(), max);
    if (n)
        std::memcpy(buf, _bytes.data(), n);
    return n;
}

void TagItemBytes::writeValue(uint8_t* out) const
{
    if (!_bytes.empty())
        std::memcpy(out, _bytes.data(), _bytes.size());
}

std::unique_ptr<TagItem> TagItem::decode(uint8_t id, uint8_t kind, const uint8_t* value, size_t length)
{
    switch (static_cast<Kind>(kind)) {
    case Kind::UInt32:
        if (length != 4)
            return nullptr;
        return std::make_unique<TagItemUInt32>(id, getLe(value, 4));
    case Kind::UInt16:
        if (length != 2)
            return nullptr;
        return std::make_unique<TagItemUInt16>(id, static_cast<uint16_t>(getLe(value, 2)));
    case Kind::String: {
        // Exactly one terminator, at the end: anything else would read differently on the two sides.
        if (length == 0 || value[length - 1] != 0 || std::memchr(value, 0, length - 1))
            return nullptr;
        return std::make_unique<TagItemString>(id, std::string(reinterpret_cast<const char*>(value), length - 1));
    }
    case Kind::Bytes: return std::make_unique<TagItemBytes>(id, std::vector<uint8_t>(value, value + length));
    }
    return nullptr;
}
