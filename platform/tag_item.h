#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

/// One numbered, typed item of a tagged message (see tag_msg.h for the wire encoding).
/// Items are created with TagItemFactory and owned by the message they are added to.
class TagItem {
public:
    /// The kind of an item; the numbers are the kind codes on the wire.
    enum class Kind : uint8_t { UInt32 = 1, UInt16 = 2, String = 3, Bytes = 4 };

    virtual ~TagItem() = default;
    TagItem(const TagItem&) = delete;
    TagItem& operator=(const TagItem&) = delete;

    virtual Kind kind() const = 0;

    uint8_t tagId;

protected:
    explicit TagItem(uint8_t id) : tagId(id) {}

private:
    friend class TagMsg;
    /// Bytes of the encoded value (may exceed what the 16-bit length field can carry; the
    /// message then refuses to serialise).
    virtual size_t valueSize() const = 0;
    virtual void writeValue(uint8_t* out) const = 0;
    /// Builds an item from its wire value; null when the value is malformed for that kind.
    static std::unique_ptr<TagItem> decode(uint8_t id, uint8_t kind, const uint8_t* value, size_t length);
};

/// An unsigned 32-bit number.
class TagItemUInt32 : public TagItem {
public:
    TagItemUInt32(uint8_t id, uint32_t value) : TagItem(id), _value(value) {}
    Kind kind() const override { return Kind::UInt32; }
    uint32_t getValue() const { return _value; }

private:
    size_t valueSize() const override { return 4; }
    void writeValue(uint8_t* out) const override;
    uint32_t _value;
};

/// An unsigned 16-bit number.
class TagItemUInt16 : public TagItem {
public:
    TagItemUInt16(uint8_t id, uint16_t value) : TagItem(id), _value(value) {}
    Kind kind() const override { return Kind::UInt16; }
    uint16_t getValue() const { return _value; }

private:
    size_t valueSize() const override { return 2; }
    void writeValue(uint8_t* out) const override;
    uint16_t _value;
};

/// A terminated text without embedded zero bytes.
class TagItemString : public TagItem {
public:
    TagItemString(uint8_t id, std::string text) : TagItem(id), _text(std::move(text)) {}
    Kind kind() const override { return Kind::String; }
    /// Copies the text and its terminator into buf, cutting the text so that both fit in max
    /// bytes. Returns the bytes written, terminator included (0 only when max is 0).
    size_t getValue(char* buf, size_t max) const;

private:
    size_t valueSize() const override { return _text.size() + 1; }
    void writeValue(uint8_t* out) const override;
    std::string _text;
};

/// A string of raw bytes (at most 65535).
class TagItemBytes : public TagItem {
public:
    TagItemBytes(uint8_t id, std::vector<uint8_t> bytes) : TagItem(id), _bytes(std::move(bytes)) {}
    Kind kind() const override { return Kind::Bytes; }
    size_t getLength() const { return _bytes.size(); }
    const uint8_t* getData() const { return _bytes.data(); }
    /// Copies at most max bytes into buf; returns the number copied.
    size_t getValue(uint8_t* buf, size_t max) const;

private:
    size_t valueSize() const override { return _bytes.size(); }
    void writeValue(uint8_t* out) const override;
    std::vector<uint8_t> _bytes;
};
