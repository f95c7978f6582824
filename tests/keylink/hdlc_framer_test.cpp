// Frame format known-answer vectors and de-framing rules.
#include "keysmith/hdlc_framer.h"
#include "tests/support/log_capture.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

namespace {

Bytes encode(const Bytes& payload)
{
    Bytes out(cHDLCframer::maxEncodedLength(static_cast<uint32_t>(payload.size())));
    out.resize(cHDLCframer::encode(payload.data(), static_cast<uint32_t>(payload.size()), out.data(),
                                   static_cast<uint32_t>(out.size())));
    return out;
}

Bytes str(const std::string& s) { return Bytes(s.begin(), s.end()); }

/// Feeds a byte stream; returns the payloads delivered, in order.
struct Receiver {
    uint8_t buffer[1024];
    cHDLCframer framer{buffer, sizeof buffer};
    std::vector<Bytes> frames;

    void feed(const Bytes& stream)
    {
        for (uint8_t b : stream)
            if (uint32_t n = framer.feed(b))
                frames.emplace_back(buffer, buffer + n);
    }
};

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes kAbcFrame{0x7E, 0x61, 0x62, 0x63, 0x25, 0x9E, 0x7E};

} // namespace

TEST(HdlcFramer, KnownAnswers)
{
    EXPECT_EQ(encode(str("abc")), kAbcFrame);
    // The register, and its complement: the usual check value of this CRC.
    const Bytes digits = str("123456789");
    EXPECT_EQ(cHDLCframer::fcs16(digits.data(), digits.size()), 0x6F91);
    EXPECT_EQ(static_cast<uint16_t>(~cHDLCframer::fcs16(digits.data(), digits.size())), 0x906E);
    EXPECT_EQ(cHDLCframer::fcs16(nullptr, 0), 0xFFFF);
    // Payload plus its FCS leaves the "good" register.
    const Bytes content{0x61, 0x62, 0x63, 0x25, 0x9E};
    EXPECT_EQ(cHDLCframer::fcs16(content.data(), content.size()), cHDLCframer::kGoodFcs);
    // Continuing a register equals one pass.
    EXPECT_EQ(cHDLCframer::fcs16(cHDLCframer::fcs16(digits.data(), 4), digits.data() + 4, 5),
              cHDLCframer::fcs16(digits.data(), 9));
}

TEST(HdlcFramer, StuffsTheFourSpecialBytesInThePayload)
{
    Bytes frame = encode({0x7E, 0x7D, 0x08, 0x7F, 0x20, 0x5E});
    Bytes head(frame.begin(), frame.begin() + 11);
    EXPECT_EQ(head, (Bytes{0x7E, 0x7D, 0x5E, 0x7D, 0x5D, 0x7D, 0x28, 0x7D, 0x5F, 0x20, 0x5E}));
    Receiver rx;
    rx.feed(frame);
    ASSERT_EQ(rx.frames.size(), 1u);
    EXPECT_EQ(rx.frames[0], (Bytes{0x7E, 0x7D, 0x08, 0x7F, 0x20, 0x5E}));
}

TEST(HdlcFramer, StuffsSpecialBytesInTheFcs)
{
    // For each special value in each FCS position, a two-byte payload whose FCS has it there.
    for (uint8_t special : {0x7E, 0x7D, 0x08, 0x7F}) {
        for (int high = 0; high < 2; ++high) {
            SCOPED_TRACE(std::to_string(special) + (high ? " high" : " low"));
            Bytes payload;
            for (unsigned v = 0; v < 0x10000 && payload.empty(); ++v) {
                // Payload bytes without specials, so the FCS bytes are the only stuffed ones.
                Bytes p{static_cast<uint8_t>(0x30 + (v >> 8) % 0x40), static_cast<uint8_t>(0x30 + v % 0x40)};
                uint16_t f = static_cast<uint16_t>(~cHDLCframer::fcs16(p.data(), 2));
                uint8_t lo = f & 0xFF, hi = f >> 8;
                if ((high ? hi : lo) == special && (high ? lo : hi) != 0x7E && (high ? lo : hi) != 0x7D &&
                    (high ? lo : hi) != 0x08 && (high ? lo : hi) != 0x7F)
                    payload = p;
            }
            ASSERT_FALSE(payload.empty());
            Bytes frame = encode(payload);
            ASSERT_EQ(frame.size(), 7u);
            size_t at = high ? 4 : 3;
            EXPECT_EQ(frame[at], 0x7D);
            EXPECT_EQ(frame[at + 1], special ^ 0x20);
            Receiver rx;
            rx.feed(frame);
            ASSERT_EQ(rx.frames.size(), 1u);
            EXPECT_EQ(rx.frames[0], payload);
        }
    }
}

TEST(HdlcFramer, FlagsAfterOneOrTwoBytesDoNotEndTheFrame)
{
    // The bytes before the early flag stay and start the content.
    const Bytes payload{0x41, 0x42, 0x61, 0x62, 0x63};
    Bytes frame = encode(payload);
    for (size_t early : {1u, 2u}) {
        SCOPED_TRACE(early);
        Bytes stream(frame.begin(), frame.begin() + 1 + early);
        stream.push_back(0x7E);
        stream.insert(stream.end(), frame.begin() + 1 + early, frame.end());
        Receiver rx;
        rx.feed(stream);
        ASSERT_EQ(rx.frames.size(), 1u);
        EXPECT_EQ(rx.frames[0], payload);
    }
    Receiver rx;
    rx.feed(cat({{0x7E, 0x7E, 0x7E}, kAbcFrame}));
    ASSERT_EQ(rx.frames.size(), 1u);
    EXPECT_EQ(rx.frames[0], str("abc"));
}

TEST(HdlcFramer, BackToBackFramesAndGarbageBetweenThem)
{
    const Bytes second = encode(str("second frame"));
    const std::vector<Bytes> streams{
        cat({kAbcFrame, second}),
        cat({{0x00, 0x13, 0xFF}, kAbcFrame, {0x00, 0x55, 0x7D, 0x20}, second, {0x00}}),
    };
    for (const auto& stream : streams) {
        Receiver rx;
        rx.feed(stream);
        ASSERT_EQ(rx.frames.size(), 2u);
        EXPECT_EQ(rx.frames[0], str("abc"));
        EXPECT_EQ(rx.frames[1], str("second frame"));
    }
}

TEST(HdlcFramer, EverySingleByteCorruptionFailsTheCheck)
{
    testsupport::LogCapture log("cSerialPort");
    for (size_t pos = 1; pos + 1 < kAbcFrame.size(); ++pos) {
        for (int v = 0; v < 256; ++v) {
            if (v == kAbcFrame[pos])
                continue;
            Bytes bad = kAbcFrame;
            bad[pos] = static_cast<uint8_t>(v);
            Receiver rx;
            log.clear();
            rx.feed(bad);
            ASSERT_TRUE(rx.frames.empty()) << "pos " << pos << " value " << v;
            ASSERT_EQ(log.count("CRC check failed"), 1u) << "pos " << pos << " value " << v;
            ASSERT_TRUE(log.has("cSerialPort", log4cpp::Priority::ERROR, "CRC check failed"));
            // The framer recovers for the next frame.
            rx.feed(kAbcFrame);
            ASSERT_EQ(rx.frames.size(), 1u) << "pos " << pos << " value " << v;
        }
    }
}

TEST(HdlcFramer, PayloadIsReportedOnlyByTheClosingFlag)
{
    const Bytes payload{0x01, 0x7E, 0x02, 0x7D, 0x08, 0x7F, 0x03};
    const Bytes frame = encode(payload);
    // Whatever the split into two feeds, nothing comes out before the last byte.
    for (size_t cut = 0; cut <= frame.size(); ++cut) {
        Receiver rx;
        rx.feed(Bytes(frame.begin(), frame.begin() + cut));
        EXPECT_EQ(rx.frames.size(), cut == frame.size() ? 1u : 0u) << "cut " << cut;
        rx.feed(Bytes(frame.begin() + cut, frame.end()));
        ASSERT_EQ(rx.frames.size(), 1u) << "cut " << cut;
        EXPECT_EQ(rx.frames[0], payload);
    }
}

TEST(HdlcFramer, FrameLongerThanTheBufferIsDroppedSilently)
{
    testsupport::LogCapture log("cSerialPort");
    uint8_t small[16];
    cHDLCframer framer(small, sizeof small);
    std::vector<Bytes> got;
    auto feed = [&](const Bytes& s) {
        for (uint8_t b : s)
            if (uint32_t n = framer.feed(b))
                got.emplace_back(small, small + n);
    };
    feed(encode(Bytes(20, 0x55)));
    feed(encode(Bytes(14, 0x66))); // 14 + 2 FCS bytes would reach the capacity: dropped too
    feed(encode(Bytes(13, 0x77)));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], Bytes(13, 0x77));
    EXPECT_EQ(log.count("CRC check failed"), 0u);
}

TEST(HdlcFramer, EncodeRefusesAnOutputThatIsTooSmall)
{
    const Bytes payload = str("abc");
    uint8_t out[8];
    std::fill(std::begin(out), std::end(out), 0xAA);
    EXPECT_EQ(cHDLCframer::encode(payload.data(), 3, out, 6), 0u);
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_EQ(cHDLCframer::encode(payload.data(), 3, out, 7), 7u);
    // Worst case: every byte stuffed.
    const Bytes flags(10, 0x7E);
    Bytes big(cHDLCframer::maxEncodedLength(10));
    EXPECT_LE(cHDLCframer::encode(flags.data(), 10, big.data(), static_cast<uint32_t>(big.size())), big.size());
    EXPECT_GE(cHDLCframer::encode(flags.data(), 10, big.data(), static_cast<uint32_t>(big.size())), 22u + 2u);
}
