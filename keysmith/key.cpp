#include "key.h"

#include <sys/stat.h>

#include <chrono>

#include "packed_version.h"

#include "key_binary.h"
#include "key_file_transfer.h"
#include "key_link_protocol.h"
#include "platform/tag_item_factory.h"
#include "platform/tag_msg.h"
#include "usb_interface.h"

namespace keylink = keysmith::keylink;

namespace {

std::unique_ptr<TagMsg> command(uint8_t tag)
{
    auto message = std::make_unique<TagMsg>(keylink::kCommand);
    message->addTag(TagItemFactory::createTagItem(tag, uint32_t{0}));
    return message;
}

} // namespace

cKey::cKey(cUSBinterface* channel_) : log(log4cpp::Category::getInstance("cKey")), channel(channel_)
{
    setLink(true);
    if (!readInfo())
        throw cKeyExceptionNVMread();
}

cKey::~cKey() { setLink(false); }

uint32_t cKey::getSerial() const { return info ? info->serial : 0; }

uint32_t cKey::getVersion() const { return info ? info->version : 0; }

bool cKey::setLink(bool up)
{
    if (!channel)
        return false;
    if (up) {
        channel->send(*command(keylink::kTagLinkStart));
        return true;
    }
    if (!channel->request(*command(keylink::kTagLinkEnd), kReplySeconds))
        return false;
    log.debug("Disconnected");
    return true;
}

bool cKey::readInfo()
{
    if (!channel)
        return false;
    std::unique_ptr<TagMsg> reply = channel->request(*command(keylink::kTagIdentityRead), kReplySeconds);
    if (!reply)
        return false;
    log.debug("Connected");
    info = std::make_unique<KeyInfo>(KeyInfo::fromReply(*reply));
    log.debug("Box: %s", info->boxName);
    log.debug("Version: %s", keysmith::versionText(info->version).c_str());
    return true;
}

bool cKey::upgrade(const cKeyBinary* binary) { return upgrade(binary, nullptr); }

bool cKey::upgrade(const cKeyBinary* binary, keysmith::TransferObserver* observer)
{
    cKeyFileTransfer transfer(channel);
    // The limit follows the size of what goes over the link: the bytes the store verified.
    const size_t size = binary ? binary->contents().size() : 0;
    const unsigned long seconds = timeLimit.secondsFor(cKeyFileTransfer::packedSize(size));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    transfer.setDeadline(deadline);
    transfer.setObserver(observer);
    bool ok = false;
    for (unsigned attempt = 0; attempt < kTransferAttempts && !ok && std::chrono::steady_clock::now() < deadline;
         ++attempt) {
        if (observer)
            observer->attemptStarted(attempt + 1);
        ok = transfer.transfer(binary, kRemoteName);
    }
    if (!ok && std::chrono::steady_clock::now() >= deadline) {
        log.error("Upgrade given up after %lu s, the time limit for a file of %zu bytes", seconds, size);
        if (observer)
            observer->failed(keysmith::FailureReason::Timeout,
                             "upgrade given up after " + std::to_string(seconds) + " s, the limit for its size");
    }
    return ok;
}

bool cKey::sendVersionClear()
{
    if (!channel)
        return false;
    TagMsg clear(keylink::kCommand);
    clear.addTag(TagItemFactory::createTagItem(keylink::kTagVersion, ""));
    return channel->send(clear);
}
