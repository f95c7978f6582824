#include "key_file_transfer.h"

#include "hdlc_framer.h"
#include "key_binary.h"
#include "key_link_protocol.h"
#include "platform/tag_item_factory.h"
#include "platform/tag_msg.h"
#include "usb_interface.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace keylink = keysmith::keylink;

namespace {

constexpr unsigned kOpenSeconds = 30;
constexpr unsigned kChunkSeconds = 5;
constexpr size_t kEchoSize = 32; // the key's echo of the name is read within this many bytes

/// Would the channel send this message as one frame? Asking first spares a chunk that can
/// never be sent the wait for a reply that cannot come.
bool fitsOneFrame(const TagMsg& message)
{
    uint8_t frame[cUSBinterface::kBufferSize];
    return keylink::frameMessage(message, frame, sizeof frame).status == keylink::FrameStatus::Framed;
}

} // namespace

cKeyFileTransfer::cKeyFileTransfer(cUSBinterface* channel_)
    : channel(channel_), log(log4cpp::Category::getInstance("cKeyFileTransfer"))
{}

bool cKeyFileTransfer::transfer(const cKeyBinary* binary, const char* remoteName)
{
    if (!binary)
        return false;
    uint32_t packetSize = kProposedPacketSize;
    std::vector<uint8_t> packed;
    const size_t length = packFile(binary->contents(), packed);
    log.debug("File %s is %zu bytes", binary->path, length);
    if (length == 0) {
        report(keysmith::FailureReason::NoStore, std::string("cannot read or pack ") + binary->path);
        return false;
    }

    if (!openRemoteFile(remoteName ? remoteName : binary->path, packetSize, static_cast<uint32_t>(length),
                        binary->version))
        return false;
    log.debug("Packet size for transfer %u", packetSize);
    // With nothing to send per chunk the loop would end at once and report a transfer that
    // never happened.
    if (packetSize == 0) {
        log.error("The key granted a packet size of 0: nothing sent");
        report(keysmith::FailureReason::KeyRefused, "the key granted a packet size of 0");
        return false;
    }
    if (observer)
        observer->acknowledged(0, length);

    for (size_t offset = 0; offset < length;) {
        const size_t n = std::min<size_t>(packetSize, length - offset);
        bool sent = false;
        if (n > kMaxChunk) {
            log.error("Packet size %u granted by the key does not fit in one message (at most %zu bytes)", packetSize,
                      kMaxChunk);
            report(keysmith::FailureReason::KeyRefused,
                   "the key granted a packet size of " + std::to_string(packetSize) + ", more than one message holds");
        } else {
            sent = sendChunk(packed.data() + offset, static_cast<uint16_t>(n));
        }
        if (!sent) {
            log.debug("USB session Transfer failed");
            return false;
        }
        offset += n;
        if (observer)
            observer->acknowledged(offset, length);
    }
    packed = std::vector<uint8_t>(); // the image is not needed past the last chunk

    TagMsg end(keylink::kCommand);
    end.addTag(TagItemFactory::createTagItem(keylink::kTagTransferEnd, uint32_t{0}));
    // Without the end message the key never takes the file, so an unwritten one is a failure.
    if (!channel->send(end)) {
        log.error("Transfer end message not sent");
        report(keysmith::FailureReason::UsbError, std::string("transfer end not sent: ") + channel->lastUsbErrorName());
        return false;
    }
    return true;
}

bool cKeyFileTransfer::removeFile()
{
    log.debug("removeFile: not implemented");
    return false;
}

size_t cKeyFileTransfer::packFile(const std::vector<uint8_t>& contents, std::vector<uint8_t>& packed)
{
    packed.clear();
    const size_t size = contents.size();
    if (packedSize(size) > kMaxPacked) {
        log.error("%zu bytes of firmware pack into %zu, more than the %zu bytes the key takes", size, packedSize(size),
                  kMaxPacked);
        return 0;
    }
    packed = pack(contents.data(), size);
    if (!packed.empty())
        log.debug("Packed binary");
    return packed.size();
}

bool cKeyFileTransfer::baseName(const char* path, char* out, size_t limit)
{
    if (!path || !out || limit == 0)
        return false;
    const char* slash = std::strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    const size_t n = std::strlen(name);
    // A name is never cut to fit: the key would store the file under a name nobody gave.
    if (n == 0 || n >= limit)
        return false;
    std::memcpy(out, name, n + 1);
    if (slash)
        log.debug("FileName is: %s", out);
    return true;
}

bool cKeyFileTransfer::openRemoteFile(const char* remoteName, uint32_t& packetSize, uint32_t packedSize,
                                      uint32_t version)
{
    char name[kNameLimit];
    if (!baseName(remoteName, name, sizeof name)) {
        log.error("Remote name unusable: %s", remoteName ? remoteName : "(null)");
        report(keysmith::FailureReason::StoreError, "the firmware's file name does not fit the key");
        return false;
    }
    if (!channel) {
        report(keysmith::FailureReason::UsbError, "no USB channel");
        return false;
    }

    TagMsg open(keylink::kCommand);
    open.addTag(TagItemFactory::createTagItem(keylink::kTagFileName, name));
    open.addTag(TagItemFactory::createTagItem(keylink::kTagPackedSize, packedSize));
    open.addTag(TagItemFactory::createTagItem(keylink::kTagPacketSize, packetSize));
    open.addTag(TagItemFactory::createTagItem(keylink::kTagFirmwareVersion, version));
    const unsigned seconds = waitSeconds(kOpenSeconds);
    if (seconds == 0) {
        report(keysmith::FailureReason::Timeout, "the upgrade's time limit ran out before the file open");
        return false;
    }
    std::unique_ptr<TagMsg> reply = channel->request(open, seconds);
    if (!reply) {
        reportNoReply(false, seconds);
        return false;
    }
    if (reply->status != 0) {
        log.error("The key refused file %s: status %u", name, static_cast<unsigned>(reply->status));
        report(keysmith::FailureReason::KeyRefused,
               "the key refused the file with status " + std::to_string(static_cast<unsigned>(reply->status)));
        return false;
    }

    bool accepted = false;
    reply->gotoFirst(); // the next getTag returns the first item
    while (const TagItem* item = reply->getTag()) {
        if (item->tagId == keylink::kTagFileName && item->kind() == TagItem::Kind::String) {
            char echo[kEchoSize];
            static_cast<const TagItemString*>(item)->getValue(echo, sizeof echo);
            if (std::strcmp(echo, name) == 0)
                accepted = true;
        } else if (item->tagId == keylink::kTagPacketSize && item->kind() == TagItem::Kind::UInt32) {
            packetSize = static_cast<const TagItemUInt32*>(item)->getValue();
        }
    }
    if (!accepted) {
        log.error("The key did not confirm file %s", name);
        report(keysmith::FailureReason::KeyRefused, "the key did not confirm the file name");
    }
    return accepted;
}

bool cKeyFileTransfer::sendChunk(const uint8_t* bytes, uint16_t length)
{
    if (!channel)
        return false;
    TagMsg data(keylink::kFileData);
    data.addTag(TagItemFactory::createTagItem(keylink::kTagChunkData, bytes, length));
    data.addTag(TagItemFactory::createTagItem(keylink::kTagChunkCheck, cHDLCframer::fcs16(bytes, length)));
    if (!fitsOneFrame(data)) {
        log.error("A data chunk of %u bytes does not fit in one frame: not sent", static_cast<unsigned>(length));
        report(keysmith::FailureReason::KeyRefused, "a data chunk of the granted size does not fit in one frame");
        return false;
    }
    const unsigned seconds = waitSeconds(kChunkSeconds);
    if (seconds == 0) {
        report(keysmith::FailureReason::Timeout, "the upgrade's time limit ran out before a data chunk");
        return false;
    }
    std::unique_ptr<TagMsg> reply = channel->request(data, seconds);
    if (!reply) {
        reportNoReply(true, seconds);
        return false;
    }
    const TagItem* first = reply->gotoFirst();
    if (first && first->tagId == keylink::kTagChunkCheck)
        return true;
    report(keysmith::FailureReason::ChunkNotAcknowledged,
           "the key answered a data chunk without its acknowledgement (status " +
               std::to_string(static_cast<unsigned>(reply->status)) + ")");
    return false;
}

void cKeyFileTransfer::report(keysmith::FailureReason reason, const std::string& detail)
{
    if (observer)
        observer->failed(reason, detail);
}

void cKeyFileTransfer::reportNoReply(bool chunk, unsigned seconds)
{
    if (!observer)
        return;
    const char* what = chunk ? "a data chunk" : "the file open request";
    switch (channel->lastRequestFailure()) {
    case cUSBinterface::RequestFailure::WriteFailed:
        report(keysmith::FailureReason::UsbError,
               std::string("writing ") + what + " failed: " + channel->lastUsbErrorName());
        break;
    case cUSBinterface::RequestFailure::Unparsable:
        report(chunk ? keysmith::FailureReason::ChunkNotAcknowledged : keysmith::FailureReason::KeyRefused,
               std::string("the key's answer to ") + what + " did not parse");
        break;
    default:
        // A key that answered the open but not a chunk has not acknowledged it; a key that
        // answers nothing at all has gone silent.
        report(chunk ? keysmith::FailureReason::ChunkNotAcknowledged : keysmith::FailureReason::Timeout,
               std::string("no answer to ") + what + " within " + std::to_string(seconds) + " s");
        break;
    }
}

unsigned cKeyFileTransfer::waitSeconds(unsigned limit) const
{
    if (deadline == std::chrono::steady_clock::time_point::max())
        return limit;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero())
        return 0;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
    return static_cast<unsigned>(std::min<long long>(limit, (ms + 999) / 1000));
}

size_t cKeyFileTransfer::packedSize(size_t length)
{
    return length + kBlockOverhead * ((length + kBlockData - 1) / kBlockData);
}

std::vector<uint8_t> cKeyFileTransfer::pack(const uint8_t* data, size_t length)
{
    std::vector<uint8_t> out;
    out.reserve(packedSize(length));
    for (size_t offset = 0; offset < length; offset += kBlockData) {
        const size_t n = std::min(kBlockData, length - offset);
        for (unsigned i = 0; i < 4; ++i) // little-endian length
            out.push_back(static_cast<uint8_t>(n >> (8 * i)));
        out.insert(out.end(), data + offset, data + offset + n);
        out.push_back(crc8Maxim(data + offset, n));
    }
    return out;
}

uint8_t cKeyFileTransfer::crc8Maxim(const uint8_t* data, size_t length)
{
    uint8_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
    }
    return crc;
}
