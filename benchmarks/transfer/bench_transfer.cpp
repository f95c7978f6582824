// Transfer of the largest firmware image the key takes (514243 bytes) to the emulated key, against
// the floor set by the protocol's pacing: the 1 ms pause after each 63-byte piece written, plus
// one request/reply round trip per request (the file open and every data chunk), both measured
// in the same run.
// Run (from the source tree, after configuring build/normal):
//   cmake --build build/normal --target bench_transfer && build/normal/benchmarks/transfer/bench_transfer
// An optional argument sets the packet size the key grants (default 256, the emulator's).
// The last line gives the transfer's wall time as a multiple of the floor.

#include "platform/config.h"
#include "keysmith/hdlc_framer.h"
#include "keysmith/key.h"
#include "keysmith/key_binary.h"
#include "tests/emulators/key_emulator.h"
#include "keysmith/key_file_transfer.h"
#include "keysmith/key_link_protocol.h"
#include "platform/tag_item_factory.h"
#include "platform/tag_msg.h"
#include "tests/emulators/testbed.h"
#include "keysmith/usb_device.h"
#include "keysmith/usb_interface.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <log4cpp/Category.hh>
#include <stdlib.h>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr size_t kFirmwareSize = 514243;

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

/// A scratch firmware store holding one image, named to cKeyBinary through the configuration.
struct Store {
    Store()
    {
        char pattern[] = "/tmp/bench_transfer.XXXXXX";
        if (!mkdtemp(pattern))
            std::abort();
        dir = pattern;
    }
    ~Store() { std::filesystem::remove_all(dir); }

    void put(const Bytes& data)
    {
        std::ofstream(dir + "/fw.bin", std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
        std::string hex;
        for (unsigned char d : cKeyBinary::md5OfFile((dir + "/fw.bin").c_str())) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", d);
            hex += two;
        }
        std::ofstream(dir + "/MANIFEST") << "Filename: fw.bin\nVersion: 8.9.3\nMD5: " << hex << "\n";
        std::ofstream(dir + "/keysmith.conf") << "KeyBinary=" << dir << "\n";
        if (!cConfig::load((dir + "/keysmith.conf").c_str()))
            std::abort();
    }

    std::string dir;
};

Bytes firmwareImage()
{
    Bytes b(kFirmwareSize);
    uint32_t x = 2463534242u;
    for (auto& byte : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<uint8_t>(x);
    }
    return b;
}

/// Mean duration of the 1 ms pause the channel takes after each piece.
double pauseSeconds()
{
    constexpr int n = 500;
    const auto t0 = Clock::now();
    for (int i = 0; i < n; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return secondsSince(t0) / n;
}

struct LinkTimes {
    double roundTrip; ///< a minimal request and its reply
    double write;     ///< one 63-byte piece
};

/// Medians over the emulated USB link, without the pacing pause: the round trip of a minimal
/// request (the link end, one piece: one write, then reads until the reply frame is complete),
/// and the write of one 63-byte piece that the key does not answer.
LinkTimes linkTimes(USBdevice& device)
{
    namespace keylink = keysmith::keylink;
    TagMsg linkEnd(keylink::kCommand);
    linkEnd.addTag(TagItemFactory::createTagItem(keylink::kTagLinkEnd, uint32_t{0}));
    uint8_t frame[cUSBinterface::kBufferSize];
    const int frameLength = static_cast<int>(keylink::frameMessage(linkEnd, frame, sizeof frame).length);

    if (!device.open())
        std::abort();
    uint8_t received[cUSBinterface::kBufferSize];
    cHDLCframer framer(received, sizeof received);
    std::vector<double> samples;
    for (int i = 0; i < 300; ++i) {
        const auto t0 = Clock::now();
        if (device.write(frame, frameLength) != frameLength)
            std::abort();
        bool complete = false;
        while (!complete) {
            uint8_t buf[cUSBinterface::kBufferSize];
            const int n = device.read(buf, sizeof buf);
            if (n <= 0)
                std::abort(); // the emulated key always answers within the read time-out
            for (int j = 0; j < n; ++j)
                complete = framer.feed(buf[j]) != 0 || complete;
        }
        samples.push_back(secondsSince(t0));
    }
    // Bytes between frames, which the key ignores.
    const uint8_t filler[cUSBinterface::kMaxPiece] = {};
    std::vector<double> writes;
    for (int i = 0; i < 300; ++i) {
        const auto t0 = Clock::now();
        if (device.write(filler, sizeof filler) != static_cast<int>(sizeof filler))
            std::abort();
        writes.push_back(secondsSince(t0));
    }
    device.close();
    return {median(samples), median(writes)};
}

} // namespace

int main(int argc, char** argv)
{
    if (!emulators::reexecUnderPreload(argc, argv))
        return 2;
    const uint32_t granted = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 256;
    // The daemon's DEBUG tracing (a line per USB write) is not part of the transfer's cost.
    log4cpp::Category::getRoot().setPriority(log4cpp::Priority::WARN);

    Store store;
    const Bytes image = firmwareImage();
    store.put(image);
    cKeyBinary binary;

    emulators::Testbed testbed;
    emulators::KeyEmulator key(testbed);
    key.setGrantedPacketSize(granted);
    bool ok = false;
    double wall = 0, pause = 0;
    LinkTimes link{};
    size_t pieces = 0, requests = 0;
    {
        USBdevice device(emulators::KeyEmulator::kVendorId, emulators::KeyEmulator::kProductId);
        link = linkTimes(device);
        pause = pauseSeconds();
        cUSBinterface channel(&device);
        cKey k(&channel);
        key.clearRecords();

        const auto t0 = Clock::now();
        ok = k.upgrade(&binary);
        wall = secondsSince(t0);

        pieces = key.outPackets().size();
        requests = key.count(emulators::KeyOp::FileOpen) + key.count(emulators::KeyOp::FileData);
        key.waitFor(emulators::KeyOp::TransferEnd, 1, std::chrono::seconds(2));
    }
    const auto file = key.file();
    if (!ok || !file.unpacked.ok || file.unpacked.data != image) {
        std::fprintf(stderr, "transfer failed or the key received different bytes\n");
        return 1;
    }

    const double floor = pieces * pause + requests * link.roundTrip;
    std::printf("firmware %zu bytes, packed %zu, granted packet size %u\n", image.size(), file.packed.size(), granted);
    std::printf("requests %zu (file open + data chunks), pieces written %zu\n", requests, pieces);
    std::printf("1 ms pause measured %.3f ms, minimal round trip %.3f ms, lone piece write %.3f ms\n", pause * 1e3,
                link.roundTrip * 1e3, link.write * 1e3);
    std::printf("floor %.3f s = %zu x %.3f ms + %zu x %.3f ms\n", floor, pieces, pause * 1e3, requests,
                link.roundTrip * 1e3);
    // The round trip covers one write per request; the other pieces' writes are not in the floor.
    std::printf("writes outside the floor: %zu x %.3f ms = %.3f s\n", pieces - requests, link.write * 1e3,
                (pieces - requests) * link.write);
    std::printf("transfer %.3f s, %.1f KiB/s\n", wall, image.size() / 1024.0 / wall);
    std::printf("ratio %.3f (target 1.25)\n", wall / floor);
    return 0;
}
