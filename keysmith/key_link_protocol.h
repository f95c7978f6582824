#pragma once

#include <cstddef>
#include <cstdint>

class TagMsg;

/// The vocabulary of the link with the key: message types, tag ids, the limits of one message
/// and the one way a message becomes its wire bytes. Everything on our side of the link takes
/// its numbers from here, so the daemon cannot disagree with itself about them.
namespace keysmith::keylink {

// Message types.
constexpr uint8_t kCommand = 1;  ///< every command, the file open included
constexpr uint8_t kFileData = 5; ///< one chunk of the packed firmware

// Command tags; each carries an unsigned 32-bit 0 unless noted.
constexpr uint8_t kTagLinkStart = 27;
/// The key takes the link start tag after the last chunk as the end of the transfer.
constexpr uint8_t kTagTransferEnd = kTagLinkStart;
constexpr uint8_t kTagIdentityRead = 21;
constexpr uint8_t kTagLinkEnd = 22;
/// The firmware version as "major.minor.patch" text in the identity reply; sent as an empty
/// text, it is the version clear message.
constexpr uint8_t kTagVersion = 8;

// File open request and its reply.
constexpr uint8_t kTagFileName = 38;        ///< text; the key echoes it when it accepts
constexpr uint8_t kTagPackedSize = 39;      ///< unsigned 32 bits
constexpr uint8_t kTagPacketSize = 40;      ///< unsigned 32 bits: proposed, then granted
constexpr uint8_t kTagFirmwareVersion = 42; ///< unsigned 32 bits, packed

// File data message; the key's acknowledgement starts with the check tag.
constexpr uint8_t kTagChunkData = 37;  ///< bytes
constexpr uint8_t kTagChunkCheck = 41; ///< unsigned 16 bits: FCS-16 register over the data

// Identity reply. Fields the daemon does not interpret are named after their tag.
constexpr uint8_t kTagSerial = 0;  ///< unsigned 32 bits
constexpr uint8_t kTagBoxName = 1; ///< text
constexpr uint8_t kTagText2 = 2;
constexpr uint8_t kTagText3 = 3;
constexpr uint8_t kTagText4 = 4;
constexpr uint8_t kTagText5 = 5;
constexpr uint8_t kTagText6 = 6;
constexpr uint8_t kTagText7 = 7;
constexpr uint8_t kTagText9 = 9;
constexpr uint8_t kTagText35 = 35;
constexpr uint8_t kTagValue36 = 36; ///< unsigned 16 bits
constexpr uint8_t kTagText43 = 43;
constexpr uint8_t kTagValue44 = 44; ///< unsigned 16 bits

/// A message serialises into at most this many bytes.
constexpr size_t kMaxMessage = 800;
/// A frame, on the way out and on the way in, is at most this many bytes.
constexpr uint32_t kMaxFrame = 1024;

enum class FrameStatus {
    Framed,
    MessageTooLong, ///< the message does not serialise within kMaxMessage bytes
    FrameTooLong,   ///< its frame would not fit the output
};

struct FramedMessage {
    FrameStatus status;
    uint32_t length; ///< frame bytes written; 0 unless framed
};

/// The wire bytes of one message: serialised, its first byte replaced by the message's lead
/// byte, and framed into out (capacity bytes). Nothing is written unless it is framed.
FramedMessage frameMessage(const TagMsg& message, uint8_t* out, uint32_t capacity);

} // namespace keysmith::keylink
