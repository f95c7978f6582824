#include "tag_item_factory.h"

std::unique_ptr<TagItem> TagItemFactory::createTagItem(uint8_t id, uint32_t value)
{
    return std::make_unique<TagItemUInt32>(id, value);
}

std::unique_ptr<TagItem> TagItemFactory::createTagItem(uint8_t id, uint16_t value)
{
    return std::make_unique<TagItemUInt16>(id, value);
}

std::unique_ptr<TagItem> TagItemFactory::createTagItem(uint8_t id, const char* text)
{
    return std::make_unique<TagItemString>(id, text ? std::string(text) : std::string());
}

std::unique_ptr<TagItem> TagItemFactory::createTagItem(uint8_t id, const uint8_t* bytes, uint16_t length)
{
    std::vector<uint8_t> v;
    if (bytes && length)
        v.assign(bytes, bytes + length);
    return std::make_unique<TagItemBytes>(id, std::move(v));
}
