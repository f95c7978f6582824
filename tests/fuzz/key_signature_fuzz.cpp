// Signed firmware stores: the fuzzed bytes are a store's MANIFEST and MANIFEST.sig, checked
// against a trust directory of one key, over a fixed firmware file. A cKeyBinary is built over
// them and may only fail with the store's own exceptions. A store it accepts was signed by the
// trusted key (Ed25519 signs deterministically, so the signature must be exactly the one the
// trusted key makes for that manifest), names the SHA-256 of the firmware, and hands out the
// firmware's bytes.
//
// Input: one mode byte, then (mode 0 only) a length byte and that many signature bytes, then the
// manifest. Modes, by the low two bits: 0 the signature from the input; 1 the trusted key's
// signature of the manifest (so the fuzzer explores what comes after a good signature); 2 a
// signature by a key that is not trusted; 3 no MANIFEST.sig at all.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_support.h"
#include "keysmith/key_binary.h"
#include "platform/config.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_signer.h"

namespace {

using fuzz::check;

const char* const kFirmware = "firmware image for the fuzzed signed store\n";

struct Store {
    testsupport::TempDir dir;
    std::string path;
    testsupport::TestSigner trusted{0x11};
    testsupport::TestSigner stranger{0x22};
    std::string firmwareSha256; // lower-case hexadecimal

    Store()
    {
        path = dir.path() + "/store";
        check(::mkdir(path.c_str(), 0700) == 0 && ::mkdir(dir.file("trust").c_str(), 0700) == 0,
              "cannot make the store");
        dir.write("store/fw.bin", kFirmware);
        dir.write("trust/trusted.pem", trusted.publicPem());
        const std::string config =
            dir.write("keysmith.conf", "KeyBinary=" + path + "\nKeyBinary.trust=" + dir.file("trust") + "\n");
        check(cConfig::load(config.c_str()), "cannot load the configuration");
        const auto digest = cKeyBinary::sha256Of(reinterpret_cast<const uint8_t*>(kFirmware), std::strlen(kFirmware));
        static const char digits[] = "0123456789abcdef";
        for (unsigned char d : digest) {
            firmwareSha256 += digits[d >> 4];
            firmwareSha256 += digits[d & 15];
        }
    }
};

Store& store()
{
    static Store s;
    return s;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::setInput(data, size);
    fuzz::LogSink::instance().clear();
    Store& s = store();
    if (size == 0)
        return 0;

    const unsigned mode = data[0] & 3;
    size_t at = 1;
    std::string signature;
    if (mode == 0 && at < size) {
        const size_t wanted = data[at++];
        const size_t length = std::min(wanted, size - at);
        signature.assign(reinterpret_cast<const char*>(data + at), length);
        at += length;
    }
    const std::string manifest(reinterpret_cast<const char*>(data + std::min(at, size)), size - std::min(at, size));
    if (mode == 1)
        signature = s.trusted.sign(manifest);
    else if (mode == 2)
        signature = s.stranger.sign(manifest);

    s.dir.write("store/MANIFEST", manifest);
    const std::string sigPath = s.path + "/MANIFEST.sig";
    ::unlink(sigPath.c_str());
    if (mode != 3)
        s.dir.write("store/MANIFEST.sig", signature);

    try {
        cKeyBinary binary;
        check(mode == 0 || mode == 1, "accepted without a trusted signature (mode " + std::to_string(mode) + ")");
        check(signature == s.trusted.sign(manifest), "accepted a signature the trusted key did not make");
        check(lower(manifest).find(s.firmwareSha256) != std::string::npos, "accepted without the firmware's SHA-256");
        check(std::string(binary.contents().begin(), binary.contents().end()) == kFirmware,
              "the accepted contents are not the firmware");
        check(binary.path == s.path + "/" + binary.fileName, std::string("firmware path ") + binary.path);
    } catch (const cKeyBinaryException&) {
        // Unsigned, badly signed, missing or not matching: the store's own answers.
    }
    return 0;
}
