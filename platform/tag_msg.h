#pragma once

#include "tag_item.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

/// A tagged message: a type byte, a status byte and an ordered list of items.
///
/// Wire encoding (all numbers little-endian):
///
///     message = leadByte status item*          (items run to the end of the message)
///     item    = tagId kind length:2 value[length]
///     kind    1  unsigned 32 bits, length 4
///             2  unsigned 16 bits, length 2
///             3  text: length >= 1, the characters then one zero byte, no zero before it
///             4  bytes: any length from 0 to 65535
///
/// leadByte is the message type (1 for commands, 5 for file data) and always the first byte,
/// so copying it over the first byte of the serialised form changes nothing. status is 0 on
/// the messages the daemon builds and carries the peer's verdict on replies (0 = accepted).
/// A message of n items with value sizes v1..vn takes 2 + sum(4 + vi) bytes.
class TagMsg {
public:
    explicit TagMsg(uint8_t type) : leadByte(type) {}
    TagMsg(const TagMsg&) = delete;
    TagMsg& operator=(const TagMsg&) = delete;

    /// Appends an item; the message owns it from now on. A null item is ignored.
    void addTag(std::unique_ptr<TagItem> item);

    /// Writes the encoding into buffer and returns its length. Returns 0 and writes nothing
    /// when it would take more than max bytes (or an item is too big for its length field).
    size_t getMsg(uint8_t* buffer, size_t max) const;

    /// Parses an encoded message; null when the bytes are not exactly one well-formed
    /// message (short header, item running past the end, unknown kind, bad value length,
    /// text without its terminator or with an inner zero).
    static std::unique_ptr<TagMsg> parseMsg(const uint8_t* bytes, uint16_t length);

    /// The first item (null if none); the next getTag returns that same item.
    TagItem* gotoFirst();
    /// The item at the cursor, then advances; null after the last.
    TagItem* getTag();

    uint8_t status = 0;
    uint8_t leadByte;

private:
    std::vector<std::unique_ptr<TagItem>> _items;
    size_t _cursor = 0;
};
