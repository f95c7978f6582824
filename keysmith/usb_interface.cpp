#include "usb_interface.h"

#include "key_link_protocol.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>

namespace keylink = keysmith::keylink;

cUSBinterface::cUSBinterface(USBdevice* device_)
    : log(log4cpp::Category::getInstance("cUSBinterface")), device(device_), framer(receiveBuffer, kBufferSize)
{
    if (!device || !device->open())
        throw cUSBinterfaceExceptionClaim();
    running = true;
    try {
        reader = std::thread(&cUSBinterface::readerLoop, this);
    } catch (const std::system_error& e) {
        // Handled per attempt like any other channel failure, not an end of the daemon.
        running = false;
        device->close();
        log.error("Could not start the USB reader: %s", e.what());
        throw cUSBinterfaceException();
    }
}

const char* cUSBinterface::lastUsbErrorName() const
{
    const int code = device ? device->lastError() : 0;
    return code ? libusb_error_name(code) : "no USB error";
}

cUSBinterface::~cUSBinterface()
{
    running = false;
    if (reader.joinable())
        reader.join();
    device->close();
}

void cUSBinterface::readerLoop() noexcept
{
    try {
        while (running && readStep()) {
        }
    } catch (...) {
        // Nothing may escape a thread; the channel then behaves as after a read error.
        log.error("USB reader stopped by an exception");
    }
}

bool cUSBinterface::readStep()
{
    uint8_t buf[kBufferSize];
    uint64_t readAt = 0;
    int n = device->read(buf, sizeof buf, &readAt);
    if (n < 0)
        return false;
    std::lock_guard<std::mutex> lock(mutex);
    for (int i = 0; i < n; ++i) {
        uint32_t len = framer.feed(buf[i]);
        if (len) {
            log.debug("RX %u", len);
            std::memcpy(replyBuffer, receiveBuffer, len);
            receivedLength = len;
            replyReadAt = readAt;
            frameReady.notify_all();
        }
    }
    return true;
}

bool cUSBinterface::send(const TagMsg& message)
{
    uint64_t lastWrite = 0;
    return sendFrame(message, lastWrite);
}

bool cUSBinterface::sendFrame(const TagMsg& message, uint64_t& lastWrite)
{
    uint8_t frame[kBufferSize + 1]; // + the filler byte
    const keylink::FramedMessage framed = keylink::frameMessage(message, frame, kBufferSize);
    if (framed.status == keylink::FrameStatus::MessageTooLong) {
        log.error("Message does not fit in %u bytes, not sent", static_cast<unsigned>(keylink::kMaxMessage));
        return false;
    }
    if (framed.status != keylink::FrameStatus::Framed) {
        log.error("Frame longer than %u bytes, not sent", kBufferSize);
        return false;
    }
    uint32_t frameLength = framed.length;
    // The key's side would otherwise wait for the end of a transfer of whole 64-byte packets.
    if (frameLength % 64 == 0)
        frame[frameLength++] = kFiller;

    log.debug("TX %u", frameLength);
    for (uint32_t off = 0; off < frameLength; off += kMaxPiece) {
        int piece = static_cast<int>(std::min<size_t>(kMaxPiece, frameLength - off));
        int written = device->write(frame + off, piece, &lastWrite);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (written != piece)
            return false;
    }
    return true;
}

std::unique_ptr<TagMsg> cUSBinterface::request(const TagMsg& message, unsigned seconds)
{
    std::unique_lock<std::mutex> lock(mutex);
    receivedLength = 0;
    // A frame counts only when the read that completed it finished after the last piece of the
    // request was written: the reader may hold bytes it read before, and not yet have fed them.
    // With nothing written, after the request began.
    uint64_t written = device->completionsSoFar();
    // A failed write is still waited for, as before; it only changes what the time-out means.
    const bool sent = sendFrame(message, written);
    // A monotonic deadline: the board's wall clock may be stepped while we wait.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    if (!frameReady.wait_until(lock, deadline, [&] { return receivedLength != 0 && replyReadAt > written; })) {
        log.error("Timeout  ");
        requestFailure = sent ? RequestFailure::Timeout : RequestFailure::WriteFailed;
        return nullptr;
    }
    uint32_t length = receivedLength;
    receivedLength = 0;
    std::unique_ptr<TagMsg> reply = TagMsg::parseMsg(replyBuffer, static_cast<uint16_t>(length));
    requestFailure = reply ? RequestFailure::None : RequestFailure::Unparsable;
    return reply;
}
