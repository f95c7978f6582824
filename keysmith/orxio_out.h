#pragma once

#include <cstdint>
#include <log4cpp/Category.hh>
#include <string>

#include "common/unique_fd.h"

/// One named output pin of the board I/O driver: opens the device node, finds the pin by name
/// in the driver's pin table and writes values to it. Construction never throws; a device,
/// table or pin that is not usable is logged at ERROR and leaves an object whose writes are
/// refused with a log line. Logs to the category "cORXIOout". Not thread-safe.
///
/// Driver interface: ioctl kPinCountRequest answers the number of pins N; ioctl
/// kPinTableRequest fills N entries of kEntrySize bytes (id u16, direction u8, reference level
/// u8, name of up to 16 bytes NUL-terminated); a 4-byte write (id u16, value u16) sets a pin;
/// a read of N * 4 bytes returns every pin's (id, value). All fields in native byte order.
class cORXIOout {
public:
    static constexpr unsigned long kPinCountRequest = 0x6701;     // _IO('g', 1)
    static constexpr unsigned long kPinTableRequest = 0x80046702; // _IOR('g', 2, int)
    static constexpr size_t kEntrySize = 20;
    static constexpr size_t kNameSize = 16;
    static constexpr size_t kRecordSize = 4;
    /// Pin ids are 16 bits wide: a driver reporting more pins than that is not believed.
    static constexpr int kMaxPins = 65536;

    cORXIOout(const std::string& device, const std::string& pinName);
    ~cORXIOout();
    cORXIOout(const cORXIOout&) = delete;
    cORXIOout& operator=(const cORXIOout&) = delete;

    /// Writes the value (cut to 16 bits) to the pin; refused with a log line when the device
    /// is not open ("pin not initialized") or the pin is not a usable output ("can not set input").
    void setValue(int value);
    /// The reference level: the value of the pin when the indicator rests.
    void setLevel();
    void setOppositeLevel();
    /// The pin's current value as the driver reports it; false (with a log line) when it
    /// cannot be read.
    bool getValue();
    /// Writes the opposite of the value read.
    void toggle();

    int id() const { return pinId; }
    bool output() const { return isOutput; }
    bool level() const { return referenceLevel; }

private:
    /// Steps of the construction; false when the step failed (and was logged).
    bool countPins(const std::string& device);
    bool mapPin(const std::string& pinName);

    log4cpp::Category& log;
    int pinCount = 0;
    int pinId = -1;
    vek::UniqueFd descriptor;
    bool referenceLevel = false;
    bool isOutput = false;
    bool writeFailing = false; ///< the last write failed (logged once per run of failures)
};
