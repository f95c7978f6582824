// Tagged message encoding: round trips, the pinned wire form, malformed input, limits.
#include "platform/tag_item_factory.h"
#include "platform/tag_msg.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

namespace {

Bytes serialise(const TagMsg& m, size_t max = 65536)
{
    Bytes out(max);
    out.resize(m.getMsg(out.data(), out.size()));
    return out;
}

std::unique_ptr<TagMsg> parse(const Bytes& b) { return TagMsg::parseMsg(b.data(), static_cast<uint16_t>(b.size())); }

std::string textOf(TagItem* item)
{
    char buf[1024];
    static_cast<TagItemString*>(item)->getValue(buf, sizeof buf);
    return buf;
}

} // namespace

TEST(TagMsg, WireFormIsPinned)
{
    // The key's side is written against this form: type, status, then id, kind, LE length, value.
    TagMsg m(1);
    m.addTag(TagItemFactory::createTagItem(27, uint32_t{0x11223344}));
    m.addTag(TagItemFactory::createTagItem(41, uint16_t{0xBEEF}));
    m.addTag(TagItemFactory::createTagItem(38, "ab"));
    const uint8_t raw[] = {9, 8};
    m.addTag(TagItemFactory::createTagItem(37, raw, 2));
    EXPECT_EQ(serialise(m), (Bytes{0x01, 0x00,                               //
                                   27,   1,    4, 0, 0x44, 0x33, 0x22, 0x11, //
                                   41,   2,    2, 0, 0xEF, 0xBE,             //
                                   38,   3,    3, 0, 'a',  'b',  0,          //
                                   37,   4,    2, 0, 9,    8}));
}

TEST(TagMsg, RoundTripOfEveryKind)
{
    Bytes blob(600);
    for (size_t i = 0; i < blob.size(); ++i)
        blob[i] = static_cast<uint8_t>(i * 7);
    TagMsg m(5);
    m.status = 3;
    m.addTag(TagItemFactory::createTagItem(0, uint32_t{0}));
    m.addTag(TagItemFactory::createTagItem(39, uint32_t{0xFFFFFFFF}));
    m.addTag(TagItemFactory::createTagItem(36, uint16_t{0xFFFF}));
    m.addTag(TagItemFactory::createTagItem(8, ""));
    m.addTag(TagItemFactory::createTagItem(38, "binary.bin"));
    m.addTag(TagItemFactory::createTagItem(37, nullptr, 0));
    m.addTag(TagItemFactory::createTagItem(37, blob.data(), static_cast<uint16_t>(blob.size())));
    m.addTag(TagItemFactory::createTagItem(255, static_cast<const char*>(nullptr)));

    auto p = parse(serialise(m));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->leadByte, 5);
    EXPECT_EQ(p->status, 3);
    struct Expect {
        uint8_t id;
        TagItem::Kind kind;
        uint32_t number;
        std::string text;
        Bytes bytes;
    };
    const std::vector<Expect> expected{
        {0, TagItem::Kind::UInt32, 0, "", {}},
        {39, TagItem::Kind::UInt32, 0xFFFFFFFF, "", {}},
        {36, TagItem::Kind::UInt16, 0xFFFF, "", {}},
        {8, TagItem::Kind::String, 0, "", {}},
        {38, TagItem::Kind::String, 0, "binary.bin", {}},
        {37, TagItem::Kind::Bytes, 0, "", {}},
        {37, TagItem::Kind::Bytes, 0, "", blob},
        {255, TagItem::Kind::String, 0, "", {}},
    };
    TagItem* item = p->gotoFirst();
    for (const auto& e : expected) {
        SCOPED_TRACE(int(e.id));
        item = p->getTag();
        ASSERT_TRUE(item);
        EXPECT_EQ(item->tagId, e.id);
        ASSERT_EQ(item->kind(), e.kind);
        switch (e.kind) {
        case TagItem::Kind::UInt32: EXPECT_EQ(static_cast<TagItemUInt32*>(item)->getValue(), e.number); break;
        case TagItem::Kind::UInt16: EXPECT_EQ(static_cast<TagItemUInt16*>(item)->getValue(), e.number); break;
        case TagItem::Kind::String: EXPECT_EQ(textOf(item), e.text); break;
        case TagItem::Kind::Bytes: {
            auto* b = static_cast<TagItemBytes*>(item);
            EXPECT_EQ(Bytes(b->getData(), b->getData() + b->getLength()), e.bytes);
            break;
        }
        }
    }
    EXPECT_EQ(p->getTag(), nullptr);
    EXPECT_EQ(p->getTag(), nullptr);
}

TEST(TagMsg, CursorStartsAgainAtTheFirstItem)
{
    TagMsg m(1);
    EXPECT_EQ(m.gotoFirst(), nullptr);
    EXPECT_EQ(m.getTag(), nullptr);
    m.addTag(TagItemFactory::createTagItem(1, uint32_t{1}));
    m.addTag(TagItemFactory::createTagItem(2, uint32_t{2}));
    m.addTag(nullptr);
    for (int pass = 0; pass < 2; ++pass) {
        TagItem* first = m.gotoFirst();
        ASSERT_TRUE(first);
        EXPECT_EQ(m.getTag(), first);
        TagItem* second = m.getTag();
        ASSERT_TRUE(second);
        EXPECT_EQ(second->tagId, 2);
        EXPECT_EQ(m.getTag(), nullptr);
    }
}

TEST(TagMsg, ParsesOnlyWholeMessages)
{
    TagMsg m(1);
    m.addTag(TagItemFactory::createTagItem(21, uint32_t{0}));
    m.addTag(TagItemFactory::createTagItem(38, "name"));
    const Bytes good = serialise(m);
    const std::vector<size_t> boundaries{2, 10, good.size()};
    for (size_t len = 0; len <= good.size(); ++len) {
        bool atBoundary = std::find(boundaries.begin(), boundaries.end(), len) != boundaries.end();
        EXPECT_EQ(parse(Bytes(good.begin(), good.begin() + len)) != nullptr, atBoundary) << "length " << len;
    }
    EXPECT_EQ(TagMsg::parseMsg(nullptr, 10), nullptr);
}

TEST(TagMsg, RejectsMalformedItems)
{
    const std::vector<std::pair<const char*, Bytes>> cases{
        {"unknown kind", {1, 0, 5, 9, 1, 0, 0}},
        {"kind 0", {1, 0, 5, 0, 1, 0, 0}},
        {"uint32 of 3 bytes", {1, 0, 5, 1, 3, 0, 1, 2, 3}},
        {"uint32 of 5 bytes", {1, 0, 5, 1, 5, 0, 1, 2, 3, 4, 5}},
        {"uint16 of 4 bytes", {1, 0, 5, 2, 4, 0, 1, 2, 3, 4}},
        {"empty text value", {1, 0, 5, 3, 0, 0}},
        {"text without terminator", {1, 0, 5, 3, 2, 0, 'a', 'b'}},
        {"text with inner zero", {1, 0, 5, 3, 3, 0, 'a', 0, 0}},
        {"length past the end", {1, 0, 5, 4, 9, 0, 1, 2, 3}},
        {"length 0xFFFF past the end", {1, 0, 5, 4, 0xFF, 0xFF, 1}},
        {"second item cut", {1, 0, 5, 4, 1, 0, 7, 6}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse(c.second), nullptr) << c.first;
    EXPECT_TRUE(parse({1, 0, 5, 4, 0, 0})) << "empty byte string";
}

TEST(TagMsg, GetMsgRespectsItsMaximum)
{
    TagMsg m(1);
    m.addTag(TagItemFactory::createTagItem(38, "binary.bin")); // 2 + 4 + 11 = 17 bytes
    Bytes buf(32, 0xAA);
    EXPECT_EQ(m.getMsg(buf.data(), 16), 0u);
    EXPECT_EQ(buf, Bytes(32, 0xAA)) << "nothing written when it does not fit";
    EXPECT_EQ(m.getMsg(buf.data(), 17), 17u);
    EXPECT_EQ(buf[17], 0xAA);
    EXPECT_EQ(m.getMsg(nullptr, 100), 0u);

    // An item too big for its 16-bit length field never serialises.
    TagMsg big(1);
    big.addTag(TagItemFactory::createTagItem(1, std::string(70000, 'x').c_str()));
    Bytes large(80000);
    EXPECT_EQ(big.getMsg(large.data(), large.size()), 0u);
}

TEST(TagMsg, StringValueIsCutToTheMaximumWithItsTerminator)
{
    auto item = TagItemFactory::createTagItem(1, "binary");
    auto* s = static_cast<TagItemString*>(item.get());
    char buf[16];
    std::fill(std::begin(buf), std::end(buf), 'Z');
    EXPECT_EQ(s->getValue(buf, 0), 0u);
    EXPECT_EQ(buf[0], 'Z');
    EXPECT_EQ(s->getValue(buf, 1), 1u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(s->getValue(buf, 4), 4u);
    EXPECT_STREQ(buf, "bin");
    EXPECT_EQ(s->getValue(buf, sizeof buf), 7u);
    EXPECT_STREQ(buf, "binary");
}
