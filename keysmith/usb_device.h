#pragma once

#include "common/c_handle.h"

#include <atomic>
#include <cstdint>
#include <libusb.h>
#include <log4cpp/Category.hh>

/// libusb could not be initialised. Deliberately outside the updater's exception hierarchy:
/// the daemon cannot work without USB and lets it end the process.
class USBdeviceInitException {};

/// The key on the USB bus: one libusb context for the daemon's whole run, the key found by
/// vendor and product id, both interfaces claimed (kernel drivers detached first), and single
/// bulk transfers on its endpoints. Logs to the category "USBdevice".
///
/// read() and write() may run on two threads at once (libusb allows that on one handle);
/// open() and close() must not overlap with them.
class USBdevice {
public:
    static constexpr uint8_t kEndpointIn = 0x82;
    static constexpr uint8_t kEndpointOut = 0x01;
    static constexpr unsigned kReadTimeoutMs = 1000;
    /// A key that stops taking data must not hold a write (and with it the attempt) forever.
    static constexpr unsigned kWriteTimeoutMs = 3000;

    /// Throws USBdeviceInitException when libusb cannot be initialised.
    USBdevice(uint16_t vendorId, uint16_t productId);
    virtual ~USBdevice();
    USBdevice(const USBdevice&) = delete;
    USBdevice& operator=(const USBdevice&) = delete;

    /// A device with both ids is on the bus (nothing is opened).
    bool isPresent();
    /// Finds, opens and claims the first matching device whose interfaces can be claimed.
    bool open();
    /// Releases both interfaces and closes the device; nothing when none is open.
    void close();
    /// One bulk read from 0x82 with a 1000 ms limit: bytes received (those before a time-out,
    /// often 0), -1 on a transfer error, -2 when no device is open. completion, when given,
    /// receives the transfer's place in the completion order (see completionsSoFar).
    int read(uint8_t* buffer, int length, uint64_t* completion = nullptr);
    /// One bulk write to 0x01 with a 3000 ms limit: length on success, -1 on a failed, short
    /// or timed-out write, -2 when no device is open. completion as for read.
    int write(const uint8_t* buffer, int length, uint64_t* completion = nullptr);
    /// Transfers of this device completed so far. Every transfer, read or write, takes the next
    /// number as it completes, in the order the system reports the completions, so comparing
    /// two numbers tells which transfer finished first whichever threads ran them. A transfer
    /// that is still running will get a higher number than this.
    uint64_t completionsSoFar() const { return completions.load(); }
    /// libusb's code of the last failed transfer (LIBUSB_ERROR_IO for a short write); 0 while none
    /// failed.
    int lastError() const { return lastFailure.load(); }
    /// Diagnostic dump of every USB device at DEBUG.
    void listDevices();

private:
    static void freeDeviceList(libusb_device** list) { libusb_free_device_list(list, 1); }
    using Context = vek::CHandle<libusb_context, libusb_exit>;
    using Handle = vek::CHandle<libusb_device_handle, libusb_close>;
    using DeviceList = vek::CHandle<libusb_device*, freeDeviceList>;

    /// The device list, or null when it is empty or cannot be had.
    DeviceList deviceList(ssize_t& count);
    bool claimInterfaces(libusb_device_handle* h);
    /// One bulk transfer, waited for: libusb's error code, 0 on success.
    int bulkTransfer(uint8_t endpoint, uint8_t* buffer, int length, unsigned timeoutMs, int& transferred,
                     uint64_t* completion);
    void dumpDevice(libusb_device* dev);

    log4cpp::Category& log;
    Context context;
    Handle handle; // declared after the context: closed before the context ends
    uint16_t vendorId;
    uint16_t productId;
    std::atomic<uint64_t> completions{0}; // bumped by each transfer's completion callback
    std::atomic<int> lastFailure{0};      // set by read() and write(), on their threads
};
