#include "key_info.h"

#include "key_link_protocol.h"
#include "packed_version.h"

#include "platform/tag_item.h"
#include "platform/tag_msg.h"

namespace keylink = keysmith::keylink;

namespace {

template <size_t N>
void takeText(char (&field)[N], const TagItem& item)
{
    static_cast<const TagItemString&>(item).getValue(field, N);
}

} // namespace

KeyInfo KeyInfo::fromReply(TagMsg& reply)
{
    KeyInfo info;
    reply.gotoFirst(); // the next getTag returns the first item
    while (const TagItem* item = reply.getTag()) {
        const TagItem::Kind kind = item->kind();
        // A tag of the wrong kind is skipped: its value cannot be read as that field.
        if (kind == TagItem::Kind::UInt32) {
            if (item->tagId == keylink::kTagSerial)
                info.serial = static_cast<const TagItemUInt32*>(item)->getValue();
            continue;
        }
        if (kind == TagItem::Kind::UInt16) {
            if (item->tagId == keylink::kTagValue36)
                info.value36 = static_cast<const TagItemUInt16*>(item)->getValue();
            else if (item->tagId == keylink::kTagValue44)
                info.value44 = static_cast<const TagItemUInt16*>(item)->getValue();
            continue;
        }
        if (kind != TagItem::Kind::String)
            continue;
        switch (item->tagId) {
        case keylink::kTagBoxName: takeText(info.boxName, *item); break;
        case keylink::kTagText2: takeText(info.text2, *item); break;
        case keylink::kTagText3: takeText(info.text3, *item); break;
        case keylink::kTagText4: takeText(info.text4, *item); break;
        case keylink::kTagText5: takeText(info.text5, *item); break;
        case keylink::kTagText6: takeText(info.text6, *item); break;
        case keylink::kTagText7: takeText(info.text7, *item); break;
        case keylink::kTagText9: takeText(info.text9, *item); break;
        case keylink::kTagText35: takeText(info.text35, *item); break;
        case keylink::kTagText43: takeText(info.text43, *item); break;
        case keylink::kTagVersion: {
            char text[kVersionTextSize];
            static_cast<const TagItemString*>(item)->getValue(text, sizeof text);
            info.version = versionFromText(text);
            break;
        }
        default: break;
        }
    }
    return info;
}

uint32_t KeyInfo::versionFromText(const char* text) { return text ? keysmith::packVersion(text) : 0; }
