#include "usb_device.h"

#include <mutex>
#include <string>

namespace {

constexpr int kInterfaces[] = {0, 1};

using Transfer = vek::CHandle<libusb_transfer, libusb_free_transfer>;

/// What one transfer's completion callback hands to the thread waiting for it. The callback
/// runs in whichever thread handles libusb's events, so the fields are behind a lock; libusb
/// itself only reads `done` to know when to stop handling events for the waiter.
struct Completion {
    std::mutex mutex;
    int done = 0;       // guarded by mutex
    uint64_t order = 0; // guarded by mutex
    std::atomic<uint64_t>* counter = nullptr;

    bool isDone()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return done != 0;
    }
};

// libusb calls completions one at a time, in the order the kernel reports them: numbering them
// here gives the order in which the transfers finished.
void LIBUSB_CALL onTransferDone(libusb_transfer* transfer)
{
    auto* c = static_cast<Completion*>(transfer->user_data);
    std::lock_guard<std::mutex> lock(c->mutex);
    c->order = c->counter->fetch_add(1) + 1;
    c->done = 1;
}

int errorOf(libusb_transfer_status status)
{
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: return 0;
    case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_CANCELLED: break;
    }
    return LIBUSB_ERROR_IO;
}

} // namespace

USBdevice::USBdevice(uint16_t vendorId_, uint16_t productId_)
    : log(log4cpp::Category::getInstance("USBdevice")), vendorId(vendorId_), productId(productId_)
{
    libusb_context* ctx = nullptr;
    int r = libusb_init(&ctx);
    if (r != 0) {
        log.error("USB init failed %d", r);
        throw USBdeviceInitException();
    }
    context.reset(ctx);
}

USBdevice::~USBdevice()
{
    log.debug("Closing usb");
    close();
}

USBdevice::DeviceList USBdevice::deviceList(ssize_t& count)
{
    libusb_device** list = nullptr;
    count = libusb_get_device_list(context.get(), &list);
    DeviceList owned(list);
    if (count <= 0)
        return nullptr;
    return owned;
}

bool USBdevice::isPresent()
{
    ssize_t n = 0;
    DeviceList list = deviceList(n);
    if (!list) {
        log.debug("No USB devices");
        return false;
    }
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list.get()[i], &desc) != 0) {
            log.error("failed to get device descriptor");
            continue;
        }
        if (desc.idVendor == vendorId && desc.idProduct == productId) {
            log.debug("Found  vID: 0x%04X - pID: 0x%04X", vendorId, productId);
            return true;
        }
    }
    return false;
}

bool USBdevice::claimInterfaces(libusb_device_handle* h)
{
    for (int i : kInterfaces) {
        if (libusb_kernel_driver_active(h, i) == 1) {
            // A failed detach is not fatal: the claim below tells whether the interface is ours.
            const int r = libusb_detach_kernel_driver(h, i);
            if (r == 0) {
                log.debug("Kernel driver detached");
            } else {
                log.debug("Failed to detach Kernel driver");
                log.debug("usb: detach kernel driver from interface %d: %s", i, libusb_error_name(r));
            }
        }
    }
    // The cause goes to the log: busy (another program holds it), access denied, or gone.
    int r = libusb_claim_interface(h, 0);
    if (r != 0) {
        log.error("usb: claim interface 0: %s", libusb_error_name(r));
        return false;
    }
    r = libusb_claim_interface(h, 1);
    if (r != 0) {
        log.error("usb: claim interface 1: %s", libusb_error_name(r));
        libusb_release_interface(h, 0);
        return false;
    }
    return true;
}

bool USBdevice::open()
{
    if (handle)
        close();
    ssize_t n = 0;
    DeviceList list = deviceList(n);
    if (!list)
        return false;
    for (ssize_t i = 0; i < n && !handle; ++i) {
        libusb_device* dev = list.get()[i];
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(dev, &desc) != 0) {
            log.error("failed to get device descriptor");
            continue;
        }
        if (desc.idVendor != vendorId || desc.idProduct != productId)
            continue;
        libusb_device_handle* raw = nullptr;
        const int r = libusb_open(dev, &raw);
        if (r != 0) {
            log.error("usb: open %04x:%04x on bus %d address %d: %s", vendorId, productId, libusb_get_bus_number(dev),
                      libusb_get_device_address(dev), libusb_error_name(r));
            continue;
        }
        Handle h(raw);
        if (claimInterfaces(h.get()))
            handle = std::move(h);
        // otherwise h closes this device and the scan goes on
    }
    return handle != nullptr;
}

void USBdevice::close()
{
    if (!handle)
        return;
    int r = libusb_release_interface(handle.get(), 0);
    if (r != 0)
        log.debug("Cloud not release interface 0 %s", libusb_error_name(r));
    libusb_release_interface(handle.get(), 1);
    handle.reset();
}

int USBdevice::bulkTransfer(uint8_t endpoint, uint8_t* buffer, int length, unsigned timeoutMs, int& transferred,
                            uint64_t* completion)
{
    // libusb's own synchronous transfer, with a completion callback of ours that tells when
    // the transfer finished relative to the device's other transfers.
    transferred = 0;
    Transfer transfer(libusb_alloc_transfer(0));
    if (!transfer)
        return LIBUSB_ERROR_NO_MEM;
    Completion done;
    done.counter = &completions;
    libusb_fill_bulk_transfer(transfer.get(), handle.get(), endpoint, buffer, length, onTransferDone, &done, timeoutMs);
    int r = libusb_submit_transfer(transfer.get());
    if (r != 0)
        return r;
    while (!done.isDone()) {
        r = libusb_handle_events_completed(context.get(), &done.done);
        if (r == LIBUSB_ERROR_INTERRUPTED)
            continue;
        if (r < 0) // as libusb does: give the transfer up and wait for its cancellation
            libusb_cancel_transfer(transfer.get());
    }
    std::lock_guard<std::mutex> lock(done.mutex);
    if (completion)
        *completion = done.order;
    transferred = transfer->actual_length;
    return errorOf(transfer->status);
}

int USBdevice::read(uint8_t* buffer, int length, uint64_t* completion)
{
    if (!handle)
        return -2;
    int transferred = 0;
    int r = bulkTransfer(kEndpointIn, buffer, length, kReadTimeoutMs, transferred, completion);
    if (r == 0) {
        log.debug("RX %d", transferred);
        return transferred;
    }
    if (r == LIBUSB_ERROR_TIMEOUT)
        return transferred;
    log.debug("Listener err %s", libusb_error_name(r));
    lastFailure = r;
    return -1;
}

int USBdevice::write(const uint8_t* buffer, int length, uint64_t* completion)
{
    if (!handle)
        return -2;
    int transferred = 0;
    // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
    int r = bulkTransfer(kEndpointOut, const_cast<uint8_t*>(buffer), length, kWriteTimeoutMs, transferred, completion);
    if (r == 0 && transferred == length) {
        log.debug("Wrote %d", transferred);
        return transferred;
    }
    log.debug("Write Error!");
    lastFailure = r != 0 ? r : LIBUSB_ERROR_IO;
    if (r != 0)
        log.debug("usb: write to endpoint 0x%02X: %s", kEndpointOut, libusb_error_name(r));
    else
        log.debug("usb: write to endpoint 0x%02X: %d of %d bytes", kEndpointOut, transferred, length);
    return -1;
}

void USBdevice::listDevices()
{
    ssize_t n = 0;
    DeviceList list = deviceList(n);
    if (!list) {
        log.debug("No USB devices");
        return;
    }
    log.debug(std::string(88, '='));
    log.debug("Found %d USB devices", static_cast<int>(n));
    for (ssize_t i = 0; i < n; ++i)
        dumpDevice(list.get()[i]);
}

void USBdevice::dumpDevice(libusb_device* dev)
{
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(dev, &desc) != 0) {
        log.debug("failed to get device descriptor");
        return;
    }
    log.debug("------------- VendorID: 0x%04X - ProductID: 0x%04X ---------------\n", desc.idVendor, desc.idProduct);
    log.debug("Number of possible configurations: %d", desc.bNumConfigurations);
    log.debug("Device Class: %d", desc.bDeviceClass);
    libusb_config_descriptor* raw = nullptr;
    if (libusb_get_config_descriptor(dev, 0, &raw) == 0) {
        vek::CHandle<libusb_config_descriptor, libusb_free_config_descriptor> config(raw);
        log.debug("Interfaces: %d", config->bNumInterfaces);
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface& itf = config->interface[i];
            log.debug("Number of alternate settings: %d", itf.num_altsetting);
            for (int a = 0; a < itf.num_altsetting; ++a) {
                const libusb_interface_descriptor& alt = itf.altsetting[a];
                log.debug("Interface Number: %d", alt.bInterfaceNumber);
                log.debug("Number of endpoints: %d", alt.bNumEndpoints);
                for (int e = 0; e < alt.bNumEndpoints; ++e) {
                    log.debug("  Descriptor Type: %d", alt.endpoint[e].bDescriptorType);
                    log.debug("  EP Address: 0x%02X\n", alt.endpoint[e].bEndpointAddress);
                }
            }
        }
    }
    log.debug(std::string(66, '-') + "\n");
}
