#pragma once

#include "key.h"
#include "key_mqtt.h"
#include "led.h"
#include "usb_device.h"
#include "usb_interface.h"

#include <cstdint>
#include <log4cpp/Category.hh>
#include <memory>

/// What one upgrade attempt came to; the upgrade loop acts on it.
enum class UpgradeResult : int {
    Failed = 0,     ///< no key identity, or the firmware transfer failed
    Unverified = 1, ///< nothing transferred: no server answer, another key meant, or a version mismatch
    Success = 2,    ///< upgraded, or the key already runs the stored version or a newer one
};

/// One upgrade attempt on the key that is plugged in. Construction takes the key over: it opens
/// the USB channel, starts the link and reads the key's identity, and sets the board LEDs
/// blinking. upgrade() decides from the key's identity, the version the server asks for and the
/// firmware store whether to transfer the firmware, does so and reports the outcome to the
/// server. Destruction releases the LEDs, then the key (ending the link), then the channel.
/// Logs to the category "cKeyUpdater". Not thread-safe: one thread runs the attempt.
class cKeyUpdater {
public:
    /// Versions above this one (8.9.2) are told to clear their version after an upgrade.
    static constexpr uint32_t kVersionClearAbove = 0x080902;

    /// The device (not owned) must outlive the updater. Throws cUSBinterfaceException when the
    /// key cannot be claimed, cKeyException when it does not answer the identity read.
    explicit cKeyUpdater(USBdevice* device);
    virtual ~cKeyUpdater();
    cKeyUpdater(const cKeyUpdater&) = delete;
    cKeyUpdater& operator=(const cKeyUpdater&) = delete;

    /// version 0 means nobody asked yet: the key is announced to the server, which names the
    /// version (and the serial is the key's own). Otherwise version and serial are the server's
    /// request. Throws cKeyBinaryException when the firmware store is unusable, after reporting
    /// the failure with version 0. mqtt must not be null.
    UpgradeResult upgrade(cKeyMQTT* mqtt, uint32_t version, uint32_t serial);

private:
    log4cpp::Category& log;
    std::unique_ptr<cUSBinterface> channel;
    std::unique_ptr<cKey> key;
    std::unique_ptr<cLED> led;
};
