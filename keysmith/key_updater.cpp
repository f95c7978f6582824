#include "key_updater.h"

#include "platform/config.h"
#include "key_binary.h"
#include "orxio_out.h"

namespace {

constexpr int kBlinking = 3;

const char* orxioDevice() { return cConfig::getString("vek.orxio.dev", "/dev/orxio0"); }

} // namespace

cKeyUpdater::cKeyUpdater(USBdevice* device) : log(log4cpp::Category::getInstance("cKeyUpdater"))
{
    try {
        channel = std::make_unique<cUSBinterface>(device);
    } catch (const cUSBinterfaceException& e) {
        log.error("USB exception: %s", e.what());
        throw cUSBinterfaceException();
    }

    try {
        key = std::make_unique<cKey>(channel.get());
    } catch (const cKeyException& e) {
        log.error("Key exception: %s", e.what());
        channel.reset();
        throw cKeyException();
    }

    auto green = std::make_unique<cORXIOout>(orxioDevice(), cConfig::getString("vek.orxio.led.green", "LED_GPS_GREEN"));
    auto red = std::make_unique<cORXIOout>(orxioDevice(), cConfig::getString("vek.orxio.led.red", "LED_GPS_RED"));
    led = std::make_unique<cLED>(std::move(green), std::move(red));
    led->set(kBlinking);
}

cKeyUpdater::~cKeyUpdater()
{
    // The LEDs come to rest first; the key's link end still needs the channel.
    led.reset();
    key.reset();
    channel.reset();
}

UpgradeResult cKeyUpdater::upgrade(cKeyMQTT* mqtt, uint32_t version, uint32_t serial)
{
    const uint32_t keyVersion = key->getVersion();
    const uint32_t keySerial = key->getSerial();
    if (keyVersion == 0) {
        log.error("No key connected");
        return UpgradeResult::Failed;
    }

    if (version == 0) {
        serial = keySerial;
        version = mqtt->announceKey(keySerial, keyVersion);
        if (version == 0) {
            log.error("No request reply from MQTT");
            return UpgradeResult::Unverified;
        }
    }

    if (serial != keySerial) {
        log.error("Incorrect key connected");
        return UpgradeResult::Unverified;
    }

    try {
        const cKeyBinary binary;
        const uint32_t stored = binary.version;

        if (stored <= keyVersion) {
            mqtt->publishResult(true, keySerial, stored);
            log.debug("Key already up to date");
            return UpgradeResult::Success;
        }

        if (stored != version) {
            log.error("binary version mismatch server: %u binary: %u", version, stored);
            return UpgradeResult::Unverified;
        }

        log.debug("Upgrading key to: %u.%u.%u", stored >> 16, (stored >> 8) & 0xFF, stored & 0xFF);
        led->set(kBlinking);
        const bool ok = key->upgrade(&binary);
        UpgradeResult result = UpgradeResult::Failed;
        if (ok) {
            log.debug("Key upgraded");
            if (keyVersion > kVersionClearAbove)
                key->sendVersionClear();
            result = UpgradeResult::Success;
        } else {
            log.error("Upgrade failed");
        }
        mqtt->publishResult(ok, keySerial, stored);
        return result;
    } catch (const cKeyBinaryException& e) {
        log.error("Binary exception: %s", e.what());
        mqtt->publishResult(false, keySerial, 0);
        log.debug("Binary does not exist");
        throw cKeyBinaryException();
    }
}
