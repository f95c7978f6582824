// The keysmith binary end to end with a signed firmware store ("KeyBinary.trust" set): a store
// signed by a trusted key upgrades the key; a tampered one is refused before anything reaches the
// key, reported as a store failure, and the link service is started again.
#include "daemon_fixture.h"
#include "tests/support/test_signer.h"

#include <ostream>

using namespace keysmithtest;

namespace {

class SignedStoreDaemon : public DaemonTest {
protected:
    const testsupport::TestSigner signer{0x5A};

    /// Adds the firmware's SHA256 line to the store's MANIFEST, signs it, and trusts the signer.
    void signStore()
    {
        std::string sha;
        for (unsigned char d : cKeyBinary::sha256Of(firmware.data(), firmware.size())) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", d);
            sha += two;
        }
        const std::string manifest = testsupport::readFile(dir.file("store/MANIFEST")) + "SHA256: " + sha + "\n";
        dir.write("store/MANIFEST", manifest);
        dir.write("store/MANIFEST.sig", signer.sign(manifest));
        ::mkdir(dir.file("trust").c_str(), 0755);
        dir.write("trust/publisher.pem", signer.publicPem());
        settings["KeyBinary.trust"] = dir.file("trust");
    }
};

TEST_F(SignedStoreDaemon, SignedStoreUpgradesTheKey)
{
    plugKey("8.9.1");
    makeStore("8.9.3");
    signStore();
    startBroker();
    startDaemon();

    ASSERT_TRUE(answerNotification(0x080903));
    const auto result = server->waitFor(kResultTopic, 30s);
    ASSERT_TRUE(result) << "no result";
    EXPECT_EQ(hex(result->payload), "92 C3 CE 00 08 09 03");
    ASSERT_TRUE(waitForLog("Starting MOXlink again", 1, 10s));
    ASSERT_TRUE(key->waitFor(KeyOp::LinkEnd, 1, 10s));
    EXPECT_EQ(key->file().unpacked.data, firmware);

    EXPECT_TRUE(has("cKeyBinary", "INFO",
                    "Firmware store " + dir.file("store") + " must be signed by a key in " + dir.file("trust") +
                        ": publisher.pem"));
    EXPECT_TRUE(
        has("cKeyBinary", "INFO", dir.file("store") + "/MANIFEST signed by " + dir.file("trust") + "/publisher.pem"));
    EXPECT_EQ(count("not signature-checked"), 0u);
    EXPECT_TRUE(has("main", "DEBUG", "Upgrade success"));
}

struct TamperCase {
    const char* name;
    void (*tamper)(testsupport::TempDir& dir);
    const char* logged; // after the store directory
};

void PrintTo(const TamperCase& c, std::ostream* out) { *out << c.name; }

class TamperedStore : public SignedStoreDaemon, public ::testing::WithParamInterface<TamperCase> {};

TEST_P(TamperedStore, LeavesTheKeyUntouched)
{
    plugKey("8.9.1");
    makeStore("8.9.3");
    signStore();
    GetParam().tamper(dir);
    startBroker();
    startDaemon();

    ASSERT_TRUE(answerNotification(0x080903));
    const auto result = server->waitFor(kResultTopic, 20s);
    ASSERT_TRUE(result);
    EXPECT_EQ(hex(result->payload), "92 C2 00") << "a store failure, reported with version 0";
    ASSERT_TRUE(waitForLog("Starting MOXlink again", 1, 10s));

    const std::string store = dir.file("store");
    std::string line = GetParam().logged;
    for (std::string::size_type at; (at = line.find("{store}")) != std::string::npos;)
        line.replace(at, 7, store);
    for (std::string::size_type at; (at = line.find("{trust}")) != std::string::npos;)
        line.replace(at, 7, dir.file("trust"));
    EXPECT_TRUE(has("cKeyBinary", "ERROR", line)) << line;
    EXPECT_TRUE(has("cKeyUpdater", "ERROR", "Binary exception: Signature exception"));
    EXPECT_TRUE(has("main", "ERROR", "Binaries missing: a binary exception"));
    EXPECT_EQ(svCallsAfter(2), (std::vector<std::string>{"stop moxlink", "start moxlink"}));

    ASSERT_TRUE(key->waitFor(KeyOp::LinkEnd, 1, 10s));
    EXPECT_EQ(key->count(KeyOp::FileOpen), 0u) << "nothing reached the key";
    EXPECT_EQ(key->count(KeyOp::FileData), 0u);
    EXPECT_TRUE(daemon->running());
}

INSTANTIATE_TEST_SUITE_P(
    Daemon, TamperedStore,
    ::testing::Values(TamperCase{"FirmwareReplaced",
                                 [](testsupport::TempDir& d) { d.write("store/fw.bin", std::string(3000, 'X')); },
                                 "SHA256 of {store}/fw.bin does not match the signed manifest"},
                      TamperCase{"ManifestVersionChanged",
                                 [](testsupport::TempDir& d) {
                                     std::string m = testsupport::readFile(d.file("store/MANIFEST"));
                                     m.replace(m.find("8.9.3"), 5, "8.9.4");
                                     d.write("store/MANIFEST", m);
                                 },
                                 "No trusted key in {trust} verifies {store}/MANIFEST.sig"},
                      TamperCase{"SignatureMissing",
                                 [](testsupport::TempDir& d) { std::remove(d.file("store/MANIFEST.sig").c_str()); },
                                 "No signature: {store}/MANIFEST.sig is missing"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
