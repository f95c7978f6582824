#pragma once
// Shared set-up of the USB tests: a testbed with the emulated key, log capture, the daemon's
// USB device object, and small helpers.

#include "tests/emulators/key_emulator.h"
#include "tests/support/log_capture.h"
#include "platform/tag_item_factory.h"
#include "platform/tag_msg.h"
#include "keysmith/usb_device.h"
#include "keysmith/usb_interface.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace keylinktest {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline std::unique_ptr<TagMsg> command(uint8_t tag)
{
    auto m = std::make_unique<TagMsg>(1);
    m->addTag(TagItemFactory::createTagItem(tag, uint32_t{0}));
    return m;
}

inline double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

inline std::string textOf(TagItem* item)
{
    if (!item || item->kind() != TagItem::Kind::String)
        return "<not a string>";
    char buf[256];
    static_cast<TagItemString*>(item)->getValue(buf, sizeof buf);
    return buf;
}

inline TagItem* findTag(TagMsg& m, uint8_t tag)
{
    m.gotoFirst();
    while (TagItem* item = m.getTag())
        if (item->tagId == tag)
            return item;
    return nullptr;
}

inline uint32_t numberOf(TagItem* item)
{
    if (item && item->kind() == TagItem::Kind::UInt32)
        return static_cast<TagItemUInt32*>(item)->getValue();
    if (item && item->kind() == TagItem::Kind::UInt16)
        return static_cast<TagItemUInt16*>(item)->getValue();
    return 0xDEADBEEF;
}

class KeyLinkTest : public ::testing::Test {
protected:
    emulators::Testbed testbed;
    std::unique_ptr<emulators::KeyEmulator> key = std::make_unique<emulators::KeyEmulator>(testbed);
    testsupport::LogCapture log;
    std::unique_ptr<USBdevice> device = std::make_unique<USBdevice>(0x1781, 0x0B97);

    void TearDown() override { device.reset(); } // before the emulated key goes

    size_t countIn(const std::string& category, const std::string& prefix) const
    {
        size_t n = 0;
        for (const auto& m : log.messages(category))
            n += m.rfind(prefix, 0) == 0;
        return n;
    }
};

} // namespace keylinktest
