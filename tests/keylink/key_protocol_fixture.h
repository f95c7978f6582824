#pragma once
// Set-up of the key protocol tests: the emulated key and the daemon's USB device (from the key
// link fixture), plus a firmware store in a temporary directory that cKeyBinary reads and
// verifies as the daemon would.

#include "platform/config.h"
#include "keysmith/key.h"
#include "keysmith/key_binary.h"
#include "keysmith/key_file_transfer.h"
#include "keylink_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_data.h"

#include <cstdio>
#include <memory>
#include <string>

namespace keylinktest {

using testsupport::firmwareBytes;

class KeyProtocolTest : public KeyLinkTest {
protected:
    testsupport::TempDir store;

    /// Puts the bytes into the store as its firmware and returns the verified entry.
    std::unique_ptr<cKeyBinary> firmware(const Bytes& data, const std::string& version = "8.9.3")
    {
        const std::string path = store.write("fw.bin", std::string(data.begin(), data.end()));
        const cKeyBinary::Md5Digest digest = cKeyBinary::md5OfFile(path.c_str());
        std::string hex;
        for (unsigned char d : digest) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", d);
            hex += two;
        }
        store.write("MANIFEST", "Filename: fw.bin\nVersion: " + version + "\nMD5: " + hex + "\n");
        if (!cConfig::load(store.write("keysmith.conf", "KeyBinary=" + store.path() + "\n").c_str()))
            throw std::runtime_error("configuration not loaded");
        return std::make_unique<cKeyBinary>();
    }

    /// Operations of the messages the key received, in order.
    std::vector<emulators::KeyOp> ops() const
    {
        std::vector<emulators::KeyOp> out;
        for (const auto& m : key->messages())
            out.push_back(m.op);
        return out;
    }
};

} // namespace keylinktest
