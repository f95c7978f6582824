#pragma once

#include "hdlc_framer.h"
#include "key_link_protocol.h"
#include "platform/tag_msg.h"
#include "usb_device.h"
#include "usb_interface_exception.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <log4cpp/Category.hh>
#include <memory>
#include <mutex>
#include <thread>

/// Request/reply channel to the key over an open USBdevice: a reader thread de-frames the
/// incoming byte stream, send() writes one tagged message as one frame, request() sends and
/// waits for the next complete frame. One channel per upgrade attempt. Logs to "cUSBinterface".
///
/// Replies are not queued: a request takes the last frame whose final byte was read after the
/// request was written (by the device's completion order, so a frame that was already on its
/// way is never taken for the reply, however late the reader gets to it); frames that arrive
/// while nobody waits are dropped by the next request.
class cUSBinterface {
public:
    static constexpr uint32_t kBufferSize = keysmith::keylink::kMaxFrame; ///< receive buffer and frame buffer
    static constexpr size_t kMaxPiece = 63;                               ///< bytes per USB write
    static constexpr uint8_t kFiller = 0x00; ///< sent after frames of a multiple of 64 bytes

    /// Opens the device (not owned; must outlive the channel) and starts the reader thread.
    /// Throws cUSBinterfaceExceptionClaim when the key cannot be opened and claimed, and
    /// cUSBinterfaceException (the device closed again) when the reader thread cannot start.
    explicit cUSBinterface(USBdevice* device);
    /// Stops the reader thread (within about one read time-out) and closes the device.
    virtual ~cUSBinterface();
    cUSBinterface(const cUSBinterface&) = delete;
    cUSBinterface& operator=(const cUSBinterface&) = delete;

    /// Serialises, frames and writes one message. False when a piece was not written whole,
    /// or the message does not serialise within 800 bytes or frame within 1024 (nothing sent).
    bool send(const TagMsg& message);
    /// Sends the message and waits up to `seconds` for the next complete good frame. Returns
    /// the parsed reply (owned by the caller), or null on time-out ("Timeout  ") or when the
    /// reply does not parse.
    std::unique_ptr<TagMsg> request(const TagMsg& message, unsigned seconds);

    /// Why the last request() of the calling thread gave null.
    enum class RequestFailure { None, WriteFailed, Timeout, Unparsable };
    RequestFailure lastRequestFailure() const { return requestFailure; }
    /// libusb's name of the device's last failed transfer ("LIBUSB_ERROR_NO_DEVICE").
    const char* lastUsbErrorName() const;

private:
    void readerLoop() noexcept;
    bool readStep();
    /// send(), also telling the completion number of the last write it made (unchanged when
    /// it wrote nothing).
    bool sendFrame(const TagMsg& message, uint64_t& lastWrite);

    log4cpp::Category& log;
    USBdevice* device;
    std::mutex mutex; // the channel's only lock; guards everything marked below
    std::condition_variable frameReady;
    uint8_t receiveBuffer[kBufferSize]; // guarded by mutex: the framer collects here
    cHDLCframer framer;                 // guarded by mutex
    uint32_t receivedLength = 0;        // guarded by mutex: payload length in replyBuffer, 0 = none
    // A completed payload is copied out at once: the framer reuses receiveBuffer for the next
    // frame, which may begin in the same USB read before the waiting request gets to parse.
    uint8_t replyBuffer[kBufferSize]; // guarded by mutex
    // Guarded by mutex: the completion number of the read that brought the last byte of the
    // frame in replyBuffer; a request takes only a frame read after its own write.
    uint64_t replyReadAt = 0;
    // Written and read by the one thread that makes requests (the attempt's).
    RequestFailure requestFailure = RequestFailure::None;
    std::atomic<bool> running{false};
    std::thread reader;
};
