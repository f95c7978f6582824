// Tagged messages from the key: TagMsg::parseMsg over arbitrary bytes, then a walk over the
// items as the daemon does it (gotoFirst, getTag until null, each item's getValue). A message
// that parses is rebuilt item by item with TagItemFactory; both the parsed and the rebuilt
// message must serialise back to exactly the bytes parsed, and refuse a buffer one byte short.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/tag_item_factory.h"
#include "platform/tag_msg.h"

namespace {

using fuzz::check;

std::unique_ptr<TagItem> copyOf(TagItem& item, size_t cut)
{
    switch (item.kind()) {
    case TagItem::Kind::UInt32:
        return TagItemFactory::createTagItem(item.tagId, static_cast<TagItemUInt32&>(item).getValue());
    case TagItem::Kind::UInt16:
        return TagItemFactory::createTagItem(item.tagId, static_cast<TagItemUInt16&>(item).getValue());
    case TagItem::Kind::String: {
        auto& text = static_cast<TagItemString&>(item);
        std::vector<char> whole(65536);
        const size_t n = text.getValue(whole.data(), whole.size());
        check(n >= 1 && whole[n - 1] == '\0' && std::strlen(whole.data()) == n - 1, "a text without its terminator");
        // A buffer too small for the text gets as much as fits, terminated.
        std::vector<char> part(cut + 1, '#');
        const size_t m = text.getValue(part.data(), cut);
        const size_t want = cut == 0 ? 0 : std::min(n, cut);
        check(m == want && part[cut] == '#',
              "getValue into " + std::to_string(cut) + " bytes wrote " + std::to_string(m));
        if (m)
            check(part[m - 1] == '\0' && std::memcmp(part.data(), whole.data(), m - 1) == 0,
                  "a cut text is not a prefix");
        return TagItemFactory::createTagItem(item.tagId, whole.data());
    }
    case TagItem::Kind::Bytes: {
        auto& bytes = static_cast<TagItemBytes&>(item);
        check(bytes.getLength() <= 0xFFFF, "a byte string longer than its length field");
        std::vector<uint8_t> part(cut + 1, 0x5A);
        const size_t m = bytes.getValue(part.data(), cut);
        check(m == std::min(cut, bytes.getLength()) && part[cut] == 0x5A, "getValue copied the wrong amount");
        if (m)
            check(std::memcmp(part.data(), bytes.getData(), m) == 0, "getValue copied other bytes");
        return TagItemFactory::createTagItem(item.tagId, bytes.getData(), static_cast<uint16_t>(bytes.getLength()));
    }
    }
    check(false, "an item of no known kind");
    return nullptr;
}

void expectBytes(const TagMsg& msg, const uint8_t* data, size_t length, const char* which)
{
    std::vector<uint8_t> out(length + 1, 0x5A);
    check(msg.getMsg(out.data(), length) == length, std::string(which) + " message does not take its own length");
    check(std::memcmp(out.data(), data, length) == 0, std::string(which) + " message serialises to other bytes");
    check(out[length] == 0x5A, std::string(which) + " message wrote past its length");
    std::vector<uint8_t> shorter(length, 0x5A);
    check(msg.getMsg(shorter.data(), length - 1) == 0 && shorter == std::vector<uint8_t>(length, 0x5A),
          std::string(which) + " message wrote into a buffer one byte short");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::setInput(data, size);
    // The length travels as 16 bits.
    const uint16_t length = static_cast<uint16_t>(std::min<size_t>(size, 0xFFFF));
    std::unique_ptr<TagMsg> msg = TagMsg::parseMsg(data, length);
    if (!msg)
        return 0;
    check(length >= 2 && msg->leadByte == data[0] && msg->status == data[1], "type and status are not the first bytes");

    TagMsg rebuilt(msg->leadByte);
    rebuilt.status = msg->status;
    TagItem* first = msg->gotoFirst();
    size_t count = 0;
    const size_t cut = length > 2 ? data[2] % 8 : 0;
    for (TagItem* item = msg->getTag(); item; item = msg->getTag()) {
        if (count == 0)
            check(item == first, "the first getTag is not the item gotoFirst returned");
        rebuilt.addTag(copyOf(*item, cut));
        ++count;
    }
    check((count == 0) == (first == nullptr), "gotoFirst and the walk disagree on an empty message");
    check(msg->getTag() == nullptr, "getTag after the last item");

    expectBytes(*msg, data, length, "the parsed");
    expectBytes(rebuilt, data, length, "the rebuilt");
    return 0;
}
