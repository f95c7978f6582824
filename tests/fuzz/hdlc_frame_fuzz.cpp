// The key link's framer. The fuzzed bytes are fed as a received stream: nothing may be written
// past the receive buffer, and every frame reported must carry a good check sequence. Then the
// same bytes are a payload: encoded and fed back, split into two frames sent back to back, each
// comes out unchanged exactly when it fits the receive buffer (and is not empty).

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "keysmith/hdlc_framer.h"

namespace {

using fuzz::check;

constexpr uint32_t kCapacity = 1024; // the channel's receive buffer
// De-stuffed content of a frame must stay below the buffer: the payload and two check bytes.
constexpr uint32_t kLargestPayload = kCapacity - 3;

struct Delivery {
    std::vector<uint8_t> payload;
    size_t atByte; // index of the byte that closed the frame
};

std::vector<Delivery> receive(const std::vector<uint8_t>& stream)
{
    // Guard bytes after the buffer show a write past its end even without the sanitizer.
    std::vector<uint8_t> buffer(kCapacity + 16, 0xA5);
    cHDLCframer framer(buffer.data(), kCapacity);
    std::vector<Delivery> deliveries;
    for (size_t i = 0; i < stream.size(); ++i) {
        const uint32_t n = framer.feed(stream[i]);
        if (n == 0)
            continue;
        check(n <= kLargestPayload,
              "a payload of " + std::to_string(n) + " bytes from a " + std::to_string(kCapacity) + "-byte buffer");
        check(cHDLCframer::fcs16(buffer.data(), n + 2) == cHDLCframer::kGoodFcs, "a frame with a bad check sequence");
        deliveries.push_back({std::vector<uint8_t>(buffer.begin(), buffer.begin() + n), i});
    }
    for (size_t i = kCapacity; i < buffer.size(); ++i)
        check(buffer[i] == 0xA5, "the framer wrote past its buffer");
    return deliveries;
}

std::vector<uint8_t> frame(const uint8_t* payload, uint32_t length)
{
    const uint32_t room = cHDLCframer::maxEncodedLength(length);
    // One byte of canary after the room the frame may take.
    std::vector<uint8_t> out(room + 1, 0x5A);
    const uint32_t n = cHDLCframer::encode(payload, length, out.data(), room);
    check(n >= 4 && n <= room, "encode wrote " + std::to_string(n) + " bytes into room for " + std::to_string(room));
    check(out[room] == 0x5A, "encode wrote past the room it was given");
    check(out[0] == cHDLCframer::kFlag && out[n - 1] == cHDLCframer::kFlag, "a frame without both flags");
    for (uint32_t i = 1; i + 1 < n; ++i)
        check(out[i] != cHDLCframer::kFlag, "a flag inside a frame");

    // Exactly that room is enough, one byte less is refused without a write.
    std::vector<uint8_t> exact(n, 0);
    check(cHDLCframer::encode(payload, length, exact.data(), n) == n && std::memcmp(exact.data(), out.data(), n) == 0,
          "encode into exactly the frame's size");
    if (n > 1) {
        std::vector<uint8_t> small(n - 1, 0x5A);
        check(cHDLCframer::encode(payload, length, small.data(), n - 1) == 0 &&
                  small == std::vector<uint8_t>(n - 1, 0x5A),
              "encode into too little room wrote something");
    }
    out.resize(n);
    return out;
}

bool delivered(uint32_t length) { return length >= 1 && length <= kLargestPayload; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::setInput(data, size);
    fuzz::LogSink::instance().clear();

    receive(std::vector<uint8_t>(data, data + size));

    // Frames carry at most what the 800-byte messages and their framing need; longer inputs are
    // cut to a little over the buffer, enough to cross its limit.
    const uint32_t length = static_cast<uint32_t>(std::min<size_t>(size, kCapacity + 8));
    const uint32_t split = length ? data[0] % (length + 1) : 0;
    const std::vector<uint8_t> a = frame(data, split);
    const std::vector<uint8_t> b = frame(data + split, length - split);

    std::vector<uint8_t> stream = a;
    stream.insert(stream.end(), b.begin(), b.end());
    const std::vector<Delivery> got = receive(stream);

    std::vector<Delivery> want;
    if (delivered(split))
        want.push_back({std::vector<uint8_t>(data, data + split), a.size() - 1});
    // An empty payload leaves two bytes collected, which a flag does not end: the next frame's
    // bytes are taken into the same content and fail its check.
    if (split != 0 && delivered(length - split))
        want.push_back({std::vector<uint8_t>(data + split, data + length), stream.size() - 1});
    check(got.size() == want.size(),
          std::to_string(got.size()) + " frames delivered of " + std::to_string(want.size()));
    for (size_t i = 0; i < want.size(); ++i) {
        check(got[i].payload == want[i].payload, "frame " + std::to_string(i) + " came out changed");
        check(got[i].atByte == want[i].atByte, "frame " + std::to_string(i) + " ended elsewhere than its closing flag");
    }
    return 0;
}
