#pragma once

#include <cstddef>
#include <cstdint>

/// HDLC-like framing of the key link.
///
/// A frame is 0x7E, then the payload and its FCS-16 (complemented, low byte first), each byte
/// stuffed, then 0x7E. Stuffing sends 0x7E, 0x7D, 0x08 and 0x7F as 0x7D followed by the byte
/// XOR 0x20. Every frame carries both flags. Example: "abc" travels as 7E 61 62 63 25 9E 7E.
///
/// One framer de-frames one incoming byte stream into a caller-owned buffer; encode() and
/// fcs16() touch no framer state. Bad frames are logged as "CRC check failed" (ERROR) on the
/// category "cSerialPort" and dropped; a frame longer than the buffer is dropped silently.
class cHDLCframer {
public:
    static constexpr uint8_t kFlag = 0x7E;
    static constexpr uint8_t kEscape = 0x7D;
    /// The register after running fcs16 over a good frame's payload and FCS together.
    static constexpr uint16_t kGoodFcs = 0xF0B8;

    /// buffer (capacity bytes, not owned) receives the de-stuffed frame contents.
    cHDLCframer(uint8_t* buffer, uint32_t capacity);
    virtual ~cHDLCframer() = default;

    /// Takes the next received byte. Returns the payload length when this byte closed a frame
    /// with a good FCS (the payload then starts at the beginning of the buffer), else 0.
    uint32_t feed(uint8_t b);

    /// Writes one complete frame of the payload into out and returns its length; returns 0 and
    /// writes nothing when the frame is longer than outCapacity. A payload of n bytes never
    /// needs more than maxEncodedLength(n).
    static uint32_t encode(const uint8_t* payload, uint32_t length, uint8_t* out, uint32_t outCapacity);
    /// Room encode needs for a payload of n bytes whatever its content: 2 x (n + 2) + 2.
    static constexpr uint32_t maxEncodedLength(uint32_t n) { return 2 * (n + 2) + 2; }

    /// The FCS-16 register (RFC 1662: reflected 0x8408, from 0xFFFF, not complemented) after
    /// the bytes; 0xFFFF for none. The frame carries its complement; "123456789" gives 0x6F91,
    /// whose complement 0x906E is the usual check value.
    static uint16_t fcs16(const uint8_t* data, size_t length);
    /// Continues a running register.
    static uint16_t fcs16(uint16_t fcs, const uint8_t* data, size_t length);

private:
    void reset();

    uint8_t* _buffer;
    uint32_t _capacity;
    uint32_t _length = 0;
    bool _inFrame = false;
    bool _escaped = false;
};
