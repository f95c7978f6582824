#include "orxio_out.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "common/error_text.h"

namespace {

uint16_t get16(const uint8_t* p)
{
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, sizeof v); }

} // namespace

cORXIOout::cORXIOout(const std::string& device, const std::string& pinName)
    : log(log4cpp::Category::getInstance("cORXIOout")),
      descriptor(::open(device.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC))
{
    // Descriptor 0 is a valid one (when standard input is closed), so only a negative result
    // is a failure.
    if (!descriptor.valid()) {
        const int error = errno;
        log.error("Could not open device %s", device.c_str());
        log.error("open %s: %s", device.c_str(), vek::errorText(error).c_str());
    } else if (countPins(device))
        mapPin(pinName);
    if (pinId < 0)
        log.error("Could not find pin %s", pinName.c_str());
}

cORXIOout::~cORXIOout() = default;

bool cORXIOout::countPins(const std::string& device)
{
    const int count = ::ioctl(descriptor.get(), kPinCountRequest);
    if (count <= 0 || count > kMaxPins) {
        const int error = errno;
        log.error("Could not map device %s", device.c_str());
        if (count < 0)
            log.error("ioctl pin count on %s: %s", device.c_str(), vek::errorText(error).c_str());
        else
            log.error("ioctl pin count on %s: %d pins (1 to %d expected)", device.c_str(), count, kMaxPins);
        return false;
    }
    pinCount = count;
    return true;
}

bool cORXIOout::mapPin(const std::string& pinName)
{
    std::vector<uint8_t> table;
    try {
        table.resize(static_cast<size_t>(pinCount) * kEntrySize);
    } catch (const std::bad_alloc&) {
        table.clear(); // reported as a table that cannot be read
    }
    const int got = table.empty() ? 0 : ::ioctl(descriptor.get(), kPinTableRequest, table.data());
    if (got <= 0) {
        const int error = errno;
        log.error("Could not map pin %s", pinName.c_str());
        if (got < 0)
            log.error("ioctl pin table: %s", vek::errorText(error).c_str());
        return false;
    }
    // Every entry is looked at: with duplicate names the last one wins.
    for (int i = 0; i < pinCount; ++i) {
        const uint8_t* entry = table.data() + static_cast<size_t>(i) * kEntrySize;
        const char* name = reinterpret_cast<const char*>(entry + 4);
        // The driver's name field need not be terminated when it is full.
        const size_t length = strnlen(name, kNameSize);
        if (length != pinName.size() || std::memcmp(name, pinName.data(), length) != 0)
            continue;
        pinId = get16(entry);
        isOutput = entry[2] != 0;
        referenceLevel = entry[3] != 0;
        log.debug("pin %s initialized %s", pinName.c_str(), isOutput ? "OUTPUT" : "INPUT");
    }
    return true;
}

void cORXIOout::setValue(int value)
{
    if (!descriptor.valid()) {
        log.error("pin not initialized");
        return;
    }
    if (!isOutput) {
        log.error("can not set input");
        return;
    }
    log.debug("Set output %d", value);
    uint8_t record[kRecordSize];
    put16(record, static_cast<uint16_t>(pinId));
    put16(record + 2, static_cast<uint16_t>(value));
    // An LED that misses one value is not worth a line every blink: the first failure of a
    // run of them is logged with its cause, and the next success says so.
    const ssize_t written = ::write(descriptor.get(), record, sizeof record);
    if (written == static_cast<ssize_t>(sizeof record)) {
        if (writeFailing)
            log.info("write pin %d: works again", pinId);
        writeFailing = false;
    } else if (!writeFailing) {
        writeFailing = true;
        if (written < 0)
            log.error("write pin %d: %s", pinId, vek::errorText(errno).c_str());
        else
            log.error("write pin %d: %zd of %zu bytes", pinId, written, sizeof record);
    }
}

void cORXIOout::setLevel() { setValue(referenceLevel ? 1 : 0); }

void cORXIOout::setOppositeLevel() { setValue(referenceLevel ? 0 : 1); }

bool cORXIOout::getValue()
{
    if (!descriptor.valid()) {
        log.error("pin not initialized");
        return false;
    }
    const size_t wanted = static_cast<size_t>(pinCount) * kRecordSize;
    std::vector<uint8_t> records(wanted);
    const ssize_t got = ::read(descriptor.get(), records.data(), wanted);
    if (got >= 0 && static_cast<size_t>(got) >= wanted) {
        for (size_t at = 0; at + kRecordSize <= wanted; at += kRecordSize)
            if (get16(&records[at]) == pinId && pinId >= 0)
                return get16(&records[at + 2]) != 0;
    }
    log.error("pin %d not found", pinId);
    return false;
}

void cORXIOout::toggle() { setValue(getValue() ? 0 : 1); }
