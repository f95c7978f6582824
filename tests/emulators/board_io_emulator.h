#pragma once
// BoardIoEmulator: the board I/O driver's character device (default /dev/orxio0) on a Testbed.
//
// Usage (gtest binary linked with `emulators_main`, or calling reexecUnderPreload in main):
//
//     emulators::Testbed testbed;
//     emulators::BoardIoEmulator board(testbed);       // green, red (outputs) and one input
//     ... run the code under test in this process (cORXIOout/cLED on board.devnode()), or
//     ... start the daemon with testsupport::ChildProcess and testbed.childEnvironment()
//     board.waitForWrites(10, 2s);
//     for (const auto& w : board.writes(BoardIoEmulator::kGreenId)) ... w.value, w.at
//
// The driver answers, on every open descriptor of the node:
//   ioctl 0x6701      the number of pins N (or the configured pinCount)
//   ioctl 0x80046702  fills N table entries of 20 bytes (id u16, direction u8: 1 output,
//                     reference level u8, name 16 bytes) and returns N
//   write             4 bytes (id u16, value u16, native byte order) set a pin; every write is
//                     recorded with the time it arrived (other lengths are recorded, then
//                     refused with EINVAL)
//   read              N x 4 bytes: (id u16, value u16) of every pin, in table order
// Failures are configured in Options. An open cannot be refused through umockdev once a node
// with a handler exists, so `refuseOpen` leaves the node out: open fails with ENOENT.
//
// Everything runs on the testbed's worker thread; every method here is safe to call from any
// thread. Close the descriptors of the code under test (or end the child) before the emulator
// and its testbed go.

#include "testbed.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace emulators {

/// One pin of the driver's table.
struct BoardPin {
    uint16_t id = 0;
    bool output = true;
    /// Raw reference level byte of the table (the daemon takes non-zero as 1).
    uint8_t referenceLevel = 0;
    /// At most 16 bytes; exactly 16 leaves the table's name field unterminated.
    std::string name;
    /// Value reported by reads until a write changes it.
    uint16_t value = 0;
};

/// One write() on the node.
struct PinWrite {
    std::chrono::steady_clock::time_point at;
    unsigned descriptor = 0;    ///< which open of the node wrote it: 1 = the first opened
    std::vector<uint8_t> bytes; ///< as written
    uint16_t pin = 0;           ///< decoded from a 4-byte write
    uint16_t value = 0;         ///< decoded from a 4-byte write
};

class BoardIoEmulator {
public:
    static constexpr uint16_t kGreenId = 17;
    static constexpr uint16_t kRedId = 18;
    static constexpr uint16_t kInputId = 40;
    static constexpr const char* kGreenName = "LED_GPS_GREEN";
    static constexpr const char* kRedName = "LED_GPS_RED";
    static constexpr const char* kInputName = "BUTTON_RESET";

    struct Options {
        /// Must lie under /dev/ (that is where the testbed keeps nodes).
        std::string devnode = "/dev/orxio0";
        /// Green and red outputs with reference level 0, and one input.
        std::vector<BoardPin> pins = defaultPins();
        /// No node at all: open fails with ENOENT.
        bool refuseOpen = false;
        /// Answer to the count request instead of the number of pins; the table request then
        /// fills that many entries (zeros past the last pin). Negative: fails with EIO.
        std::optional<int> pinCount;
        /// The table request fails with this errno (0: it works).
        int tableErrno = 0;
        /// Reads return at most this many bytes.
        std::optional<size_t> readLimit;
    };

    static std::vector<BoardPin> defaultPins();

    explicit BoardIoEmulator(Testbed& testbed);
    BoardIoEmulator(Testbed& testbed, Options options);
    ~BoardIoEmulator();
    BoardIoEmulator(const BoardIoEmulator&) = delete;
    BoardIoEmulator& operator=(const BoardIoEmulator&) = delete;

    const std::string& devnode() const;

    /// Every write so far, in order of arrival, and those that set one pin.
    std::vector<PinWrite> writes() const;
    std::vector<PinWrite> writes(uint16_t pin) const;
    /// Waits until at least n writes have been recorded in all.
    bool waitForWrites(size_t n, std::chrono::milliseconds timeout) const;
    void clearWrites();

    /// A pin's current value (what reads report); nullopt for an unknown id.
    std::optional<uint16_t> value(uint16_t pin) const;
    /// Changes a pin's value as the hardware would (an input that changes).
    void setValue(uint16_t pin, uint16_t value);

    /// Opens of the node so far, descriptors open now, and table requests served.
    unsigned opens() const;
    unsigned openNow() const;
    /// Waits until exactly n descriptors are open (closes are seen a moment after close()).
    bool waitForOpenNow(unsigned n, std::chrono::milliseconds timeout) const;
    unsigned tableReads() const;

    struct State;

private:
    Testbed& _testbed;
    std::shared_ptr<State> _state;
    std::string _devnode;
    std::string _syspath;
};

} // namespace emulators
