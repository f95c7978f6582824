#include "key_link_protocol.h"

#include "hdlc_framer.h"
#include "platform/tag_msg.h"

namespace keysmith::keylink {

FramedMessage frameMessage(const TagMsg& message, uint8_t* out, uint32_t capacity)
{
    uint8_t payload[kMaxMessage];
    const size_t length = message.getMsg(payload, sizeof payload);
    if (length == 0)
        return {FrameStatus::MessageTooLong, 0};
    payload[0] = message.leadByte;
    const uint32_t framed = cHDLCframer::encode(payload, static_cast<uint32_t>(length), out, capacity);
    if (framed == 0)
        return {FrameStatus::FrameTooLong, 0};
    return {FrameStatus::Framed, framed};
}

} // namespace keysmith::keylink
