#pragma once

#include "tag_item.h"

#include <cstdint>
#include <memory>

/// Creates items of the kind that matches the value's type. Pass numbers with their exact type
/// (uint32_t{0}, not 0): a bare literal would be ambiguous between the overloads.
class TagItemFactory {
public:
    static std::unique_ptr<TagItem> createTagItem(uint8_t id, uint32_t value);
    static std::unique_ptr<TagItem> createTagItem(uint8_t id, uint16_t value);
    /// A null text gives an empty string item.
    static std::unique_ptr<TagItem> createTagItem(uint8_t id, const char* text);
    static std::unique_ptr<TagItem> createTagItem(uint8_t id, const uint8_t* bytes, uint16_t length);
};
