#include "tag_msg.h"

namespace {

constexpr size_t kHeaderSize = 2;     // leadByte, status
constexpr size_t kItemHeaderSize = 4; // tagId, kind, 16-bit length
constexpr size_t kMaxValueSize = 0xFFFF;

} // namespace

void TagMsg::addTag(std::unique_ptr<TagItem> item)
{
    if (item)
        _items.push_back(std::move(item));
}

size_t TagMsg::getMsg(uint8_t* buffer, size_t max) const
{
    // Size everything first so that nothing is written when the message does not fit.
    size_t total = kHeaderSize;
    for (const auto& item : _items) {
        size_t v = item->valueSize();
        if (v > kMaxValueSize)
            return 0;
        total += kItemHeaderSize + v;
    }
    if (!buffer || total > max)
        return 0;

    uint8_t* p = buffer;
    *p++ = leadByte;
    *p++ = status;
    for (const auto& item : _items) {
        size_t v = item->valueSize();
        *p++ = item->tagId;
        *p++ = static_cast<uint8_t>(item->kind());
        *p++ = static_cast<uint8_t>(v);
        *p++ = static_cast<uint8_t>(v >> 8);
        item->writeValue(p);
        p += v;
    }
    return total;
}

std::unique_ptr<TagMsg> TagMsg::parseMsg(const uint8_t* bytes, uint16_t length)
{
    if (!bytes || length < kHeaderSize)
        return nullptr;
    auto msg = std::make_unique<TagMsg>(bytes[0]);
    msg->status = bytes[1];
    size_t pos = kHeaderSize;
    while (pos < length) {
        if (length - pos < kItemHeaderSize)
            return nullptr;
        uint8_t id = bytes[pos];
        uint8_t kind = bytes[pos + 1];
        size_t v = bytes[pos + 2] | (static_cast<size_t>(bytes[pos + 3]) << 8);
        pos += kItemHeaderSize;
        if (v > length - pos)
            return nullptr;
        auto item = TagItem::decode(id, kind, bytes + pos, v);
        if (!item)
            return nullptr;
        msg->_items.push_back(std::move(item));
        pos += v;
    }
    return msg;
}

TagItem* TagMsg::gotoFirst()
{
    _cursor = 0;
    return _items.empty() ? nullptr : _items.front().get();
}

TagItem* TagMsg::getTag()
{
    if (_cursor >= _items.size())
        return nullptr;
    return _items[_cursor++].get();
}
