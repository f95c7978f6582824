// Messages of the key link to their wire bytes: known answers, the limits, and the way back.
#include "keysmith/hdlc_framer.h"
#include "keysmith/key_file_transfer.h"
#include "keysmith/key_link_protocol.h"
#include "platform/tag_item_factory.h"
#include "platform/tag_msg.h"

#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace keylink = keysmith::keylink;
using Bytes = std::vector<uint8_t>;

namespace {

std::unique_ptr<TagMsg> chunk(size_t n, uint8_t fill)
{
    Bytes data(n, fill);
    auto m = std::make_unique<TagMsg>(keylink::kFileData);
    m->addTag(TagItemFactory::createTagItem(keylink::kTagChunkData, data.data(), static_cast<uint16_t>(n)));
    m->addTag(TagItemFactory::createTagItem(keylink::kTagChunkCheck, uint16_t{0x7E7D}));
    return m;
}

Bytes framed(const TagMsg& m, uint32_t capacity = keylink::kMaxFrame)
{
    Bytes out(capacity);
    auto f = keylink::frameMessage(m, out.data(), capacity);
    EXPECT_EQ(f.status, keylink::FrameStatus::Framed);
    out.resize(f.length);
    return out;
}

} // namespace

TEST(KeyLinkFrame, CommandsTravelAsKnownBytes)
{
    TagMsg linkStart(keylink::kCommand);
    linkStart.addTag(TagItemFactory::createTagItem(keylink::kTagLinkStart, uint32_t{0}));
    EXPECT_EQ(framed(linkStart),
              (Bytes{0x7E, 0x01, 0x00, 0x1B, 0x01, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x32, 0x3C, 0x7E}));

    // The version clear: its tag id 8 is one of the stuffed bytes.
    TagMsg clear(keylink::kCommand);
    clear.addTag(TagItemFactory::createTagItem(keylink::kTagVersion, ""));
    EXPECT_EQ(framed(clear), (Bytes{0x7E, 0x01, 0x00, 0x7D, 0x28, 0x03, 0x01, 0x00, 0x00, 0x94, 0x36, 0x7E}));
}

TEST(KeyLinkFrame, TheKeysSideGetsTheMessageBack)
{
    auto sent = chunk(300, 0x7D); // stuffing throughout, and a stuffed check value
    Bytes wire = framed(*sent);

    uint8_t buffer[keylink::kMaxFrame];
    cHDLCframer framer(buffer, sizeof buffer);
    uint32_t length = 0;
    for (size_t i = 0; i < wire.size() && length == 0; ++i) {
        length = framer.feed(wire[i]);
        if (length) {
            EXPECT_EQ(i, wire.size() - 1) << "the frame ends at its closing flag";
        }
    }
    ASSERT_NE(length, 0u);
    auto got = TagMsg::parseMsg(buffer, static_cast<uint16_t>(length));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->leadByte, keylink::kFileData);
    TagItem* data = got->gotoFirst();
    ASSERT_TRUE(data);
    EXPECT_EQ(data->tagId, keylink::kTagChunkData);
    auto* bytes = static_cast<TagItemBytes*>(data);
    EXPECT_EQ(Bytes(bytes->getData(), bytes->getData() + bytes->getLength()), Bytes(300, 0x7D));
    got->getTag();
    TagItem* check = got->getTag();
    ASSERT_TRUE(check);
    EXPECT_EQ(check->tagId, keylink::kTagChunkCheck);
    EXPECT_EQ(static_cast<TagItemUInt16*>(check)->getValue(), 0x7E7D);
}

TEST(KeyLinkFrame, LimitsOfOneFrame)
{
    struct Case {
        const char* what;
        size_t data;
        uint8_t fill;
        int capacityDelta; // against the frame's own length, or the full frame buffer when absent
        bool againstOwnLength;
        keylink::FrameStatus want;
    };
    const Case cases[] = {
        {"the largest chunk fills the message limit", cKeyFileTransfer::kMaxChunk, 0x41, 0, false,
         keylink::FrameStatus::Framed},
        {"one byte more is over it", cKeyFileTransfer::kMaxChunk + 1, 0x41, 0, false,
         keylink::FrameStatus::MessageTooLong},
        {"within the message limit, but every byte stuffed", 700, 0x7E, 0, false, keylink::FrameStatus::FrameTooLong},
        {"an output of exactly the frame's length", 100, 0x08, 0, true, keylink::FrameStatus::Framed},
        {"an output one byte short", 100, 0x08, -1, true, keylink::FrameStatus::FrameTooLong},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto m = chunk(c.data, c.fill);
        uint32_t capacity = keylink::kMaxFrame;
        if (c.againstOwnLength)
            capacity = static_cast<uint32_t>(static_cast<int>(framed(*m).size()) + c.capacityDelta);
        Bytes out(capacity + 1, 0xAA);
        auto f = keylink::frameMessage(*m, out.data(), capacity);
        EXPECT_EQ(f.status, c.want);
        if (c.want == keylink::FrameStatus::Framed) {
            EXPECT_LE(f.length, capacity);
            EXPECT_EQ(out[f.length], 0xAA) << "nothing past the frame";
        } else {
            EXPECT_EQ(f.length, 0u);
            EXPECT_EQ(out, Bytes(capacity + 1, 0xAA)) << "nothing written";
        }
    }
}
