// Signed firmware stores: MANIFEST.sig against the trusted keys of "KeyBinary.trust", the SHA256
// line against the firmware, and the publishers' tool keysmith-sign against the daemon's check.
#include "keysmith/firmware_trust.h"
#include "keysmith/key_binary.h"
#include "platform/config.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_signer.h"

#include <cctype>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using log4cpp::Priority;
using testsupport::LogCapture;
using testsupport::TempDir;
using testsupport::TestSigner;

namespace {

// Known answers for the firmware "abc", independent of the code under test.
const std::string abcMd5 = "900150983cd24fb0d6963f7d28e17f72";
const std::string abcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string goodManifest = "Filename: fw.bin\nVersion: 1.2.3\nMD5: " + abcMd5 + "\nSHA256: " + abcSha256 + "\n";

enum class Outcome { Accepted, Signature, Md5, NotFound };

std::ostream& operator<<(std::ostream& out, Outcome o)
{
    const char* names[] = {"accepted", "signature refused", "MD5 mismatch", "not found"};
    return out << names[static_cast<int>(o)];
}

// Public, so that the cases' lambdas, handed the fixture, reach its store.
class SignedStore : public ::testing::Test {
public:
    TempDir dir;
    const std::string store = dir.file("store");
    const std::string trust = dir.file("trust");
    const TestSigner oldKey{1};
    const TestSigner newKey{2};
    const TestSigner stranger{3};

    void SetUp() override
    {
        ::mkdir(store.c_str(), 0755);
        ::mkdir(trust.c_str(), 0755);
        dir.write("trust/old.pem", oldKey.publicPem());
        configure(trust);
    }

    void configure(const std::optional<std::string>& trustDir)
    {
        std::string text = "KeyBinary=" + store + "\n";
        if (trustDir)
            text += "KeyBinary.trust=" + *trustDir + "\n";
        ASSERT_TRUE(cConfig::load(dir.write("keysmith.conf", text).c_str()));
    }

    /// The firmware "abc" with this manifest, signed by the signer.
    void publish(const std::string& manifest, const TestSigner& signer)
    {
        dir.write("store/fw.bin", "abc");
        dir.write("store/MANIFEST", manifest);
        ::unlink((store + "/MANIFEST.sig").c_str()); // a case may have left a link there
        dir.write("store/MANIFEST.sig", signer.sign(manifest));
    }

    Outcome check()
    {
        try {
            cKeyBinary binary;
            EXPECT_EQ(std::string(binary.contents().begin(), binary.contents().end()), "abc");
            return Outcome::Accepted;
        } catch (const cKeyBinarySignatureException& e) {
            EXPECT_STREQ(e.what(), "Signature exception");
            return Outcome::Signature;
        } catch (const cKeyBinaryMD5exception&) {
            return Outcome::Md5;
        } catch (const cKeyBinaryNotfoundException&) {
            return Outcome::NotFound;
        }
    }
};

// Each case starts from a store signed by the trusted key and changes one thing.
TEST_F(SignedStore, SignatureAndDigestChecks)
{
    const std::string sig = store + "/MANIFEST.sig";
    const std::string noKey = "No trusted key in " + trust + " verifies " + sig;
    const struct {
        const char* name;
        std::function<void(SignedStore&)> change;
        Outcome outcome;
        std::string logged; // the one ERROR line; empty when accepted
    } cases[] = {
        {"good signature", [](SignedStore&) {}, Outcome::Accepted, ""},
        {"signature missing", [](SignedStore& t) { ::unlink((t.store + "/MANIFEST.sig").c_str()); }, Outcome::Signature,
         "No signature: " + sig + " is missing"},
        {"signature empty", [](SignedStore& t) { t.dir.write("store/MANIFEST.sig", ""); }, Outcome::Signature,
         "Signature " + sig + " is 0 bytes, not 64"},
        {"signature truncated",
         [](SignedStore& t) { t.dir.write("store/MANIFEST.sig", t.oldKey.sign(goodManifest).substr(0, 63)); },
         Outcome::Signature, "Signature " + sig + " is 63 bytes, not 64"},
        {"signature of 65 bytes",
         [](SignedStore& t) { t.dir.write("store/MANIFEST.sig", t.oldKey.sign(goodManifest) + "\n"); },
         Outcome::Signature, "Signature " + sig + " is longer than 64 bytes"},
        {"signature as hexadecimal text",
         [](SignedStore& t) { t.dir.write("store/MANIFEST.sig", std::string(128, 'a')); }, Outcome::Signature,
         "Signature " + sig + " is longer than 64 bytes"},
        {"signature a symbolic link to a good one",
         [](SignedStore& t) {
             t.dir.write("good.sig", t.oldKey.sign(goodManifest));
             ::unlink((t.store + "/MANIFEST.sig").c_str());
             ASSERT_EQ(::symlink(t.dir.file("good.sig").c_str(), (t.store + "/MANIFEST.sig").c_str()), 0);
         },
         Outcome::Signature, "No signature: could not read " + sig + ": a symbolic link, which is not followed"},
        {"signed by a key not trusted", [](SignedStore& t) { t.publish(goodManifest, t.stranger); }, Outcome::Signature,
         noKey},
        {"one bit of the signature flipped",
         [](SignedStore& t) {
             std::string s = t.oldKey.sign(goodManifest);
             s[10] = static_cast<char>(s[10] ^ 0x04);
             t.dir.write("store/MANIFEST.sig", s);
         },
         Outcome::Signature, noKey},
        {"version line changed after signing",
         [](SignedStore& t) {
             std::string m = goodManifest;
             m.replace(m.find("1.2.3"), 5, "1.2.4");
             t.dir.write("store/MANIFEST", m);
         },
         Outcome::Signature, noKey},
        {"filename line changed after signing",
         [](SignedStore& t) {
             t.dir.write("store/other.bin", "abc");
             std::string m = goodManifest;
             m.replace(m.find("fw.bin"), 6, "other.bin");
             t.dir.write("store/MANIFEST", m);
         },
         Outcome::Signature, noKey},
        {"line added after signing", [](SignedStore& t) { t.dir.write("store/MANIFEST", goodManifest + "\n"); },
         Outcome::Signature, noKey},
        {"firmware changed after signing", [](SignedStore& t) { t.dir.write("store/fw.bin", "abd"); },
         Outcome::Signature, "SHA256 of " + store + "/fw.bin" + " does not match the signed manifest"},
        {"SHA256 line missing",
         [](SignedStore& t) { t.publish("Filename: fw.bin\nVersion: 1.2.3\nMD5: " + abcMd5 + "\n", t.oldKey); },
         Outcome::Signature, "No SHA256 line in " + store + "/MANIFEST"},
        {"SHA256 line one digit short",
         [](SignedStore& t) {
             t.publish("Filename: fw.bin\nMD5: " + abcMd5 + "\nSHA256: " + abcSha256.substr(1) + "\n", t.oldKey);
         },
         Outcome::Signature, "SHA256 line in " + store + "/MANIFEST is not 64 hexadecimal digits"},
        {"SHA256 of other bytes",
         [](SignedStore& t) {
             std::string other = abcSha256;
             other[63] = '0';
             t.publish("Filename: fw.bin\nMD5: " + abcMd5 + "\nSHA256: " + other + "\n", t.oldKey);
         },
         Outcome::Signature, "SHA256 of " + store + "/fw.bin" + " does not match the signed manifest"},
        {"SHA256 in capitals, pasted with the file name",
         [](SignedStore& t) {
             std::string upper;
             for (char c : abcSha256)
                 upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
             t.publish("Filename: fw.bin\nMD5: " + abcMd5 + "\nSHA256: " + upper + "  fw.bin\n", t.oldKey);
         },
         Outcome::Accepted, ""},
        {"signed, but the MD5 line is wrong",
         [](SignedStore& t) {
             t.publish("Filename: fw.bin\nMD5: " + std::string(32, '0') + "\nSHA256: " + abcSha256 + "\n", t.oldKey);
         },
         Outcome::Md5, ""},
        {"signed, but the file name leaves the store",
         [](SignedStore& t) {
             t.dir.write("fw.bin", "abc");
             t.publish("Filename: ../fw.bin\nMD5: " + abcMd5 + "\nSHA256: " + abcSha256 + "\n", t.oldKey);
         },
         Outcome::NotFound, "Filename ../fw.bin in " + store + "/MANIFEST is not a file of the store"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        publish(goodManifest, oldKey);
        c.change(*this);
        LogCapture log("cKeyBinary");
        EXPECT_EQ(check(), c.outcome);
        if (!c.logged.empty()) {
            EXPECT_TRUE(log.has("cKeyBinary", Priority::ERROR, c.logged))
                << c.logged << "\nlogged: " << ::testing::PrintToString(log.messages());
        }
        // The signer is named once the signature is good, whatever is found wrong afterwards.
        const bool signatureBad = c.logged.rfind("No signature", 0) == 0 || c.logged.rfind("Signature ", 0) == 0 ||
            c.logged.rfind("No trusted key", 0) == 0;
        EXPECT_EQ(log.has("cKeyBinary", Priority::INFO, store + "/MANIFEST signed by " + trust + "/old.pem"),
                  !signatureBad);
    }
}

// Rotation: while both keys are trusted, stores signed by either are taken; once the old key is
// gone, only the new one's.
TEST_F(SignedStore, KeyRotation)
{
    dir.write("trust/new.pem", newKey.publicPem());
    dir.write("trust/README", "not a key, and not read"); // only *.pem files are keys
    publish(goodManifest, oldKey);
    EXPECT_EQ(check(), Outcome::Accepted);
    publish(goodManifest, newKey);
    {
        LogCapture log("cKeyBinary");
        EXPECT_EQ(check(), Outcome::Accepted);
        EXPECT_TRUE(log.has("cKeyBinary", Priority::INFO, store + "/MANIFEST signed by " + trust + "/new.pem"));
    }

    ::unlink((trust + "/old.pem").c_str());
    EXPECT_EQ(check(), Outcome::Accepted);
    publish(goodManifest, oldKey);
    EXPECT_EQ(check(), Outcome::Signature);
}

// A trust directory the daemon cannot use refuses every store, with the reason, and start-up
// says so as well.
TEST_F(SignedStore, UnusableTrustDirectories)
{
    const std::string bad = trust + "/bad.pem";
    const struct {
        const char* name;
        std::function<void(SignedStore&)> arrange;
        std::string logged;
    } cases[] = {
        {"empty", [](SignedStore& t) { ::unlink((t.trust + "/old.pem").c_str()); },
         "Trust directory " + trust + " holds no public key (*.pem)"},
        {"only other files",
         [](SignedStore& t) {
             ::unlink((t.trust + "/old.pem").c_str());
             t.dir.write("trust/old.pub", t.oldKey.publicPem());
         },
         "Trust directory " + trust + " holds no public key (*.pem)"},
        {"missing", [](SignedStore& t) { t.configure(t.dir.file("nowhere")); },
         "Could not read trust directory " + dir.file("nowhere") + ": No such file or directory"},
        {"a file, not a directory", [](SignedStore& t) { t.configure(t.trust + "/old.pem"); },
         "Could not read trust directory " + trust + "/old.pem: Not a directory"},
        {"garbage in a .pem", [](SignedStore& t) { t.dir.write("trust/bad.pem", "not a key\n"); },
         bad + " is not an Ed25519 public key"},
        {"a private key", [](SignedStore& t) { t.dir.write("trust/bad.pem", t.newKey.privatePem()); },
         bad + " is not an Ed25519 public key"},
        {"a public key of another kind",
         [](SignedStore& t) {
             // An EC P-256 public key (SubjectPublicKeyInfo).
             t.dir.write("trust/bad.pem",
                         "-----BEGIN PUBLIC KEY-----\n"
                         "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEVSNI0m9qgy4J1r7wrSHq4T4i4ALd\n"
                         "o+DpASqhFkPdN6rwHsCTCzVSN4pK7Uu2jy7mJSFNFu6yBNJoO2KGtbtOmg==\n"
                         "-----END PUBLIC KEY-----\n");
         },
         bad + " is not an Ed25519 public key"},
        {"a directory named like a key", [](SignedStore& t) { ::mkdir((t.trust + "/bad.pem").c_str(), 0755); },
         "Could not read trusted key " + bad + ": not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The trust directory starts over with the one good key.
        ::rmdir(bad.c_str());
        ::unlink(bad.c_str());
        dir.write("trust/old.pem", oldKey.publicPem());
        ::unlink((trust + "/old.pub").c_str());
        configure(trust);
        publish(goodManifest, oldKey);
        c.arrange(*this);

        LogCapture log("cKeyBinary");
        EXPECT_EQ(check(), Outcome::Signature);
        EXPECT_TRUE(log.has("cKeyBinary", Priority::ERROR, c.logged)) << c.logged;
        EXPECT_EQ(log.count(c.logged), 1u) << "one line";

        log.clear();
        cKeyBinary::reportTrust();
        EXPECT_TRUE(log.has("cKeyBinary", Priority::ERROR, c.logged)) << "at start-up too";
    }
}

TEST_F(SignedStore, WithoutTrustSignaturesAreNotLookedAt)
{
    configure(std::nullopt);
    LogCapture log("cKeyBinary");
    cKeyBinary::reportTrust();
    EXPECT_TRUE(log.has("cKeyBinary", Priority::WARN,
                        "Firmware store " + store + " is not signature-checked: KeyBinary.trust is not set"));

    publish("Filename: fw.bin\nMD5: " + abcMd5 + "\n", stranger); // no SHA256 line, any signature
    EXPECT_EQ(check(), Outcome::Accepted);
    dir.write("store/MANIFEST.sig", "x");
    EXPECT_EQ(check(), Outcome::Accepted);

    configure(trust);
    log.clear();
    dir.write("trust/new.pem", newKey.publicPem());
    cKeyBinary::reportTrust();
    EXPECT_TRUE(log.has("cKeyBinary", Priority::INFO,
                        "Firmware store " + store + " must be signed by a key in " + trust + ": new.pem, old.pem"));
    EXPECT_FALSE(log.contains("not signature-checked"));
}

TEST(FirmwareTrust, VerifiesOnlyWholeSignaturesOfTheExactMessage)
{
    TempDir dir;
    const TestSigner signer(7);
    dir.write("k.pem", signer.publicPem());
    const keysmith::FirmwareTrust trust(dir.path());
    ASSERT_TRUE(trust.ok()) << trust.error();

    const std::string message = "Filename: fw.bin\n";
    const std::string sig = signer.sign(message);
    auto verify = [&](const std::string& m, const std::string& s) {
        return trust.verify(reinterpret_cast<const uint8_t*>(m.data()), m.size(),
                            reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    EXPECT_EQ(verify(message, sig), "k.pem");
    EXPECT_EQ(verify(message, sig.substr(0, 63)), "");
    EXPECT_EQ(verify(message, sig + '\0'), "");
    EXPECT_EQ(verify(message + " ", sig), "");
    EXPECT_EQ(verify("", signer.sign("")), "k.pem") << "an empty manifest can be signed too";
    EXPECT_EQ(verify(message, std::string(64, '\0')), "");
}

// The tool and the daemon agree: what keysmith-sign signs, keysmith takes, with the signature
// openssl makes; what it refuses after a change, keysmith refuses too.
class SigningTool : public SignedStore {
protected:
    std::string run(const std::string& args, int& status)
    {
        const std::string out = dir.file("tool.out");
        // Quoted for the shell: the checkout's path may hold spaces.
        const std::string command =
            "'" + std::string(SOURCE_DIR) + "/keysmith/keysmith-sign.sh' " + args + " > '" + out + "' 2>&1";
        const int raw = std::system(command.c_str());
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return testsupport::readFile(out);
    }
};

TEST_F(SigningTool, SignsWhatTheDaemonAcceptsAndVerifiesAsItDoes)
{
    const std::string unsignedManifest = "Filename: fw.bin\nVersion: 1.2.3\nMD5: " + abcMd5; // no final newline
    dir.write("store/fw.bin", "abc");
    dir.write("store/MANIFEST", unsignedManifest);
    const std::string key = dir.write("signer.pem", oldKey.privatePem());

    int status = -1;
    std::string out = run("sign -k " + key + " " + store, status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("SHA256 " + abcSha256 + " (line written)"), std::string::npos) << out;
    const std::string manifest = testsupport::readFile(store + "/MANIFEST");
    EXPECT_EQ(manifest, unsignedManifest + "\nSHA256: " + abcSha256 + "\n");
    EXPECT_EQ(testsupport::readFile(store + "/MANIFEST.sig"), oldKey.sign(manifest)) << "a raw Ed25519 signature";
    EXPECT_EQ(check(), Outcome::Accepted);

    out = run("sign -k " + key + " " + store, status); // again: the line is there, nothing added
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("(line present)"), std::string::npos) << out;
    EXPECT_EQ(testsupport::readFile(store + "/MANIFEST"), manifest);

    out = run("verify -t " + trust + " " + store, status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("MANIFEST signed by old.pem"), std::string::npos) << out;

    dir.write("store/fw.bin", "abd");
    out = run("verify -t " + trust + " " + store, status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("FAIL: SHA256 line " + abcSha256), std::string::npos) << out;
    EXPECT_EQ(check(), Outcome::Signature);
    out = run("sign -k " + key + " " + store, status);
    EXPECT_EQ(status, 1) << "a manifest that does not describe the file is not signed: " << out;

    dir.write("store/fw.bin", "abc");
    dir.write("store/MANIFEST", manifest + "Comment: later\n");
    out = run("verify -t " + trust + " " + store, status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("FAIL: no trusted key verifies " + store + "/MANIFEST.sig"), std::string::npos) << out;
    EXPECT_EQ(check(), Outcome::Signature);

    EXPECT_EQ((run("sign " + store, status), status), 2) << "usage";
}

} // namespace
