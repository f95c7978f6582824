#pragma once
// A live, programmable USB device with bulk endpoints on a Testbed.
//
// Code in this process or in a child (see Testbed::childEnvironment) uses it through the real
// libusb: its usbfs ioctls reach the handler here, which answers them as the kernel would.
// OUT transfers are handed to an OutHandler; device-to-host data is queued with queueIn.
// Everything that touches the device runs on the testbed's worker thread: called from any
// other thread, queueIn/unplug/replug/runLater are passed to it and waited for.

#include "testbed.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace emulators {

struct UsbEndpointConfig {
    uint8_t address;    ///< 0x01 = OUT 1, 0x82 = IN 2
    uint8_t attributes; ///< 2 = bulk, 3 = interrupt
    uint16_t maxPacket; ///< e.g. 64
};

struct UsbInterfaceConfig {
    uint8_t interfaceClass = 0xFF;
    std::vector<UsbEndpointConfig> endpoints;
    /// Kernel driver bound when plugged in (empty: none); it must be detached before a claim.
    std::string boundDriver;
};

struct UsbDeviceConfig {
    std::string sysfsPath = "/devices/pci0000:00/0000:00:14.0/usb1/1-1";
    int busnum = 1;
    int devnum = 2;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0x0100;
    int speedMbps = 12;
    std::vector<UsbInterfaceConfig> interfaces;
    /// Claiming any interface fails with EBUSY (as if another program held it).
    bool claimBusy = false;
    /// An empty non-blocking reap right after another one is held up to this long, so that
    /// libusb does not spin (the emulated node is a plain file: poll() is always ready).
    /// A held reap also holds up other requests on the same descriptor (the preload library
    /// serialises them), so within 200 ms of an OUT transfer the shorter busy hold applies.
    unsigned reapHoldMs = 10;
    unsigned reapHoldBusyMs = 1;
};

struct UsbDeviceStats {
    unsigned submits = 0, reaps = 0, reapsEmpty = 0, discards = 0;
    unsigned stalledOuts = 0; ///< OUT transfers left pending by stallOutAfter
    unsigned claims = 0, releases = 0, detaches = 0;
    unsigned claimedMask = 0; ///< interfaces claimed right now
    unsigned boundMask = 0;   ///< interfaces with the emulated kernel driver bound now
    unsigned opens = 0;       ///< opens of the device node so far
    unsigned openNow = 0;     ///< open file descriptors now
};

class EmulatedUsbDevice {
public:
    /// Called on the worker thread for every completed OUT transfer (data may be null when
    /// length is 0), after the transfer completed: whatever the device sends in answer
    /// completes after it. It may call queueIn, unplug, replug, runLater and stallOutAfter.
    using OutHandler =
        std::function<void(EmulatedUsbDevice& device, uint8_t endpoint, const uint8_t* data, size_t length)>;

    /// Adds the device (sysfs entry and /dev/bus/usb node) and attaches the handler.
    EmulatedUsbDevice(Testbed& testbed, UsbDeviceConfig config, OutHandler onOut);
    ~EmulatedUsbDevice();
    EmulatedUsbDevice(const EmulatedUsbDevice&) = delete;
    EmulatedUsbDevice& operator=(const EmulatedUsbDevice&) = delete;

    /// Device-to-host data on an IN endpoint, split into max-packet packets (a zero-length
    /// packet follows when the length is a multiple of it). Each call ends with a short
    /// packet, so it completes the host's pending read.
    void queueIn(uint8_t endpoint, const uint8_t* data, size_t length);
    /// Fault: the next n OUT transfers (counted from now) complete, later ones are never
    /// completed, as with a device that stopped taking data: they stay pending until the host
    /// gives them up (libusb discards a transfer whose time-out passed) or the device goes.
    /// nullopt lets OUT transfers complete again.
    void stallOutAfter(std::optional<unsigned> n);
    /// Sends the data to the host (as queueIn) when the next OUT transfer arrives while the
    /// host has a read pending on that endpoint, before that transfer completes: device data
    /// that was already on its way while the host wrote.
    void queueInBeforeNextOut(uint8_t endpoint, std::vector<uint8_t> data);
    /// Pulls the device out: transfers in flight fail, open handles get ENODEV from now on,
    /// a "remove" uevent is sent and the sysfs entry and node go.
    void unplug();
    /// Plugs it back in (same bus and device number, kernel drivers bound again); handles
    /// opened before stay dead. False when it was not unplugged.
    bool replug();
    bool plugged() const;
    /// Runs fn on the worker thread after the delay (skipped if the device is gone by then).
    /// False when no program has opened the device yet (the worker is not known).
    bool runLater(std::chrono::milliseconds delay, std::function<void(EmulatedUsbDevice&)> fn);

    UsbDeviceStats stats() const;
    const UsbDeviceConfig& config() const;
    std::string devnode() const;

    struct Core;

private:
    Testbed& _testbed;
    std::shared_ptr<Core> _core;
};

} // namespace emulators
