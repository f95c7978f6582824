// A separate program on the key link, as the daemon will be: reads the key's serial number
// through its own libusb and prints it. Run by the tests as a child of the process that owns
// the emulated key.
#include "platform/tag_item_factory.h"
#include "keysmith/usb_device.h"
#include "keysmith/usb_interface.h"

#include <cstdio>

int main()
{
    USBdevice device(0x1781, 0x0B97);
    try {
        cUSBinterface channel(&device);
        TagMsg identity(1);
        identity.addTag(TagItemFactory::createTagItem(21, uint32_t{0}));
        auto reply = channel.request(identity, 2);
        if (!reply)
            return 3;
        reply->gotoFirst();
        while (TagItem* item = reply->getTag())
            if (item->tagId == 0 && item->kind() == TagItem::Kind::UInt32)
                std::printf("serial %08X\n", static_cast<TagItemUInt32*>(item)->getValue());
        return 0;
    } catch (const cKeyUpdaterException& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
}
