#include "key_updater.h"

#include "platform/config.h"
#include "key_binary.h"
#include "orxio_out.h"
#include "upgrade_progress.h"

#include <cstdio>
#include <string>

namespace {

constexpr int kBlinking = 3;

const char* orxioDevice() { return cConfig::getString("vek.orxio.dev", "/dev/orxio0"); }

std::string hex8(uint32_t value)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

std::string versionText(uint32_t v)
{
    return std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF);
}

/// The reason a firmware store failure stands for.
keysmith::FailureReason storeReason(const cKeyBinaryException& e)
{
    if (dynamic_cast<const cKeyBinaryNotfoundException*>(&e))
        return keysmith::FailureReason::NoStore;
    if (dynamic_cast<const cKeyBinaryMD5exception*>(&e))
        return keysmith::FailureReason::DigestMismatch;
    if (dynamic_cast<const cKeyBinarySignatureException*>(&e))
        return keysmith::FailureReason::SignatureMismatch;
    return keysmith::FailureReason::StoreError;
}

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

    using keysmith::FailureReason;
    keysmith::UpgradeProgress progress(
        keySerial, keyVersion, [mqtt](uint32_t s, const std::string& record) { mqtt->publishProgress(s, record); });
    progress.identified(serial == keySerial ? version : 0);

    if (version == 0) {
        serial = keySerial;
        version = mqtt->announceKey(keySerial, keyVersion);
        if (version == 0) {
            log.error("No request reply from MQTT");
            progress.fail(FailureReason::NoRequest, "the server named no version to upgrade to");
            return UpgradeResult::Unverified;
        }
    }

    if (serial != keySerial) {
        log.error("Incorrect key connected");
        progress.fail(FailureReason::WrongKey, "the request was for key " + hex8(serial));
        return UpgradeResult::Unverified;
    }

    try {
        progress.verifyingStore(version);
        const cKeyBinary binary;
        const uint32_t stored = binary.version;

        if (stored <= keyVersion) {
            mqtt->publishResult(true, keySerial, stored);
            log.debug("Key already up to date");
            progress.finished(stored, false);
            return UpgradeResult::Success;
        }

        if (stored != version) {
            log.error("binary version mismatch server: %u binary: %u", version, stored);
            progress.fail(FailureReason::VersionMismatch,
                          "the server asks for " + versionText(version) + ", the store holds " + versionText(stored));
            return UpgradeResult::Unverified;
        }

        log.debug("Upgrading key to: %u.%u.%u", stored >> 16, (stored >> 8) & 0xFF, stored & 0xFF);
        led->set(kBlinking);
        const bool ok = key->upgrade(&binary, &progress);
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
        if (ok)
            progress.finished(stored, true);
        else
            progress.transferFailed();
        return result;
    } catch (const cKeyBinaryException& e) {
        log.error("Binary exception: %s", e.what());
        progress.fail(storeReason(e), e.what());
        mqtt->publishResult(false, keySerial, 0);
        log.debug("Binary does not exist");
        throw cKeyBinaryException();
    }
}
