#include "platform/config.h"
#include "keysmith/key_binary.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using log4cpp::Priority;
using testsupport::LogCapture;
using testsupport::TempDir;

namespace {

// Known answers, independent of the code under test.
const std::string firmware = "abc";
const std::string abcMd5 = "900150983cd24fb0d6963f7d28e17f72";
const std::string emptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";

std::string md5Hex(const std::string& data)
{
    std::string out;
    for (unsigned char d : cKeyBinary::md5Of(reinterpret_cast<const uint8_t*>(data.data()), data.size())) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", d);
        out += two;
    }
    return out;
}

/// Each test gets its own store in a fresh directory, named to cKeyBinary through the
/// configuration exactly as the daemon would see it.
class FirmwareStore : public ::testing::Test {
protected:
    void SetUp() override { useStore(dir.path()); }

    void useStore(const std::string& store)
    {
        storeDir = store;
        ASSERT_TRUE(cConfig::load(dir.write("keysmith.conf", "KeyBinary=" + store + "\n").c_str()));
    }
    void manifest(const std::string& text) { writeIn(storeDir, "MANIFEST", text); }
    static void writeIn(const std::string& d, const std::string& name, const std::string& content)
    {
        std::ofstream out(d + "/" + name, std::ios::binary | std::ios::trunc);
        out << content;
        ASSERT_TRUE(out.good());
    }
    std::string standard(const std::string& version = "Version: 1.2.3\n")
    {
        writeIn(storeDir, "fw.bin", firmware);
        return "Filename: fw.bin\n" + version + "MD5: " + abcMd5 + "\n";
    }

    TempDir dir;
    std::string storeDir;
};

TEST_F(FirmwareStore, DecodesVersionsIncludingTheSeparatorQuirk)
{
    const struct {
        std::string line;
        uint32_t expected;
    } cases[] = {
        {"Version: 1.2.3\n", 0x010203},
        {"Version: 1.2\n", 0x010200},
        {"Version: 1.2.3.4\n", 0x010203},
        {"Version: 1.300.2\n", 0x012C02}, // no piece is clamped to a byte
        {"Version: \n", 0},
        {"", 0},                            // no Version line
        {"Version:1.2.3\n", 0x020300},      // the character after ':' is skipped, even the 1
        {"Version: \t 1..2.3\n", 0x010203}, // blanks skipped, empty pieces skipped
        {"Version: 1.2.3\r\n", 0x010203},
        {"Version: 9.9.9\nVersion: 2.0.1\n", 0x020001}, // last one wins
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        manifest(standard(c.line));
        cKeyBinary binary;
        EXPECT_EQ(binary.version, c.expected);
    }

    LogCapture capture("cKeyBinary");
    manifest(standard("Version: 1.2.3\n"));
    cKeyBinary binary;
    EXPECT_TRUE(capture.has("cKeyBinary", Priority::DEBUG, "fw.bin - 1.2.3"));
    EXPECT_STREQ(binary.path, (storeDir + "/fw.bin").c_str());
}

TEST(KeyBinaryHelpers, SplitLineSkipsOneCharacterAfterTheSeparator)
{
    const struct {
        std::string line;
        bool found;
        std::string key, value;
    } cases[] = {
        {"Filename: fw.bin", true, "Filename", "fw.bin"},
        {"Filename : fw.bin", true, "Filename ", "fw.bin"},
        {"MD5:abc", true, "MD5", "bc"},
        {"Key:  \t value with blanks \r", true, "Key", "value with blanks \r"},
        {"a: b: c", true, "a", "b: c"},
        {"a:", true, "a", ""},
        {"no separator", false, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::string key, value;
        ASSERT_EQ(cKeyBinary::splitLine(c.line, key, value, ':'), c.found);
        if (c.found) {
            EXPECT_EQ(key, c.key);
            EXPECT_EQ(value, c.value);
        }
    }
}

TEST_F(FirmwareStore, KeysAreExactAndTheLastOccurrenceWins)
{
    manifest("filename: other.bin\nFilename : other.bin\n Filename: other.bin\n" + standard() +
             "MD5: 00000000000000000000000000000000\nMD5: " + abcMd5 + "\n");
    cKeyBinary binary;
    EXPECT_STREQ(binary.fileName, "fw.bin");
    EXPECT_STREQ(binary.md5, abcMd5.c_str());

    manifest("Filename : fw.bin\nMD5: " + abcMd5 + "\n"); // only an unrecognised key
    EXPECT_THROW(cKeyBinary(), cKeyBinaryNotfoundException);
    manifest(standard() + "MD5: 00000000000000000000000000000000\n");
    EXPECT_THROW(cKeyBinary(), cKeyBinaryMD5exception);
}

TEST_F(FirmwareStore, CrLfManifestKeepsTheCrInValues)
{
    writeIn(storeDir, "fw.bin", firmware);
    manifest("Filename: fw.bin\r\nVersion: 1.4.2\r\nMD5: " + abcMd5 + "\r\n");
    EXPECT_THROW(cKeyBinary(), cKeyBinaryNotfoundException); // "fw.bin\r" does not exist

    writeIn(storeDir, "fw.bin\r", firmware);
    cKeyBinary binary;
    EXPECT_STREQ(binary.fileName, "fw.bin\r");
    EXPECT_STREQ(binary.md5, (abcMd5 + "\r").c_str());
    EXPECT_EQ(binary.version, 0x010402u);
}

TEST_F(FirmwareStore, DigestCaseAndMismatches)
{
    const struct {
        std::string md5Line;
        bool ok;
    } cases[] = {
        {"MD5: 900150983CD24FB0D6963F7D28E17F72\n", true},
        {"MD5: 900150983cd24fb0d6963f7d28e17f72 trailing text\n", true},
        {"MD5: 900150983cd24fb0d6963f7d28e17f72", true}, // last line without newline: not cut
        {"MD5: 900150983cd24fb0d6963f7d28e17f70\n", false},
        {"MD5: 900150983cd24fb0d6963f7d28e17f7\n", false},
        {"MD5: \n", false},
        {"", false}, // no MD5 line at all
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.md5Line);
        writeIn(storeDir, "fw.bin", firmware);
        manifest("Filename: fw.bin\n" + c.md5Line);
        if (c.ok)
            EXPECT_NO_THROW(cKeyBinary());
        else
            EXPECT_THROW(cKeyBinary(), cKeyBinaryMD5exception);
    }
}

TEST_F(FirmwareStore, MissingPiecesThrowNotFoundInsteadOfEndingTheProcess)
{
    LogCapture capture("cKeyBinary");
    EXPECT_THROW(cKeyBinary(), cKeyBinaryNotfoundException);
    EXPECT_TRUE(capture.has("cKeyBinary", Priority::DEBUG, "Could not open " + storeDir + "/MANIFEST"));

    manifest("Version: 1.2.3\nMD5: " + abcMd5 + "\n"); // no Filename
    EXPECT_THROW(cKeyBinary(), cKeyBinaryNotfoundException);
    EXPECT_TRUE(capture.has("cKeyBinary", Priority::ERROR, "No Filename in " + storeDir + "/MANIFEST"));

    manifest("Filename: absent.bin\nMD5: " + abcMd5 + "\n");
    EXPECT_THROW(cKeyBinary(), cKeyBinaryNotfoundException);
    EXPECT_TRUE(capture.contains("Could not open firmware file " + storeDir + "/absent.bin"));

    std::filesystem::create_directory(storeDir + "/sub");
    manifest("Filename: sub\nMD5: " + abcMd5 + "\n");
    EXPECT_THROW(cKeyBinary(), cKeyBinaryNotfoundException);

    // The exceptions are caught through the daemon's root class with their fixed texts.
    try {
        cKeyBinary binary;
        FAIL();
    } catch (const cKeyUpdaterException& e) {
        EXPECT_STREQ(e.what(), "Binary Not Found exception");
    }
    EXPECT_STREQ(cKeyBinaryMD5exception().what(), "MD5 mismatch exception");
    EXPECT_STREQ(cKeyBinaryException().what(), "a binary exception");
}

TEST_F(FirmwareStore, EmptyFirmwareHasTheDigestOfNoBytes)
{
    writeIn(storeDir, "empty.bin", "");
    manifest("Filename: empty.bin\nMD5: " + emptyMd5 + "\n");
    EXPECT_NO_THROW(cKeyBinary());
}

// Lines longer than the 127-character line buffer are read as several lines. A cut or
// NUL-holding file name refuses the store; "MD5" and "Version" take what their first piece holds.
TEST_F(FirmwareStore, LongLinesAndNulBytes)
{
    enum Outcome { Ok, NotFound, Mismatch };
    const std::string md5Line = "MD5: " + abcMd5;
    const std::string nul(1, '\0');
    const struct {
        const char* name;
        std::string tail; // after "Filename: fw.bin\n"
        Outcome outcome;
        uint32_t version;
    } cases[] = {
        {"digest line of 127", "Version: 1.2.3\n" + md5Line + std::string(127 - md5Line.size(), ' ') + "\n", Ok,
         0x010203},
        {"digest line of 127 at the end", "Version: 1.2.3\n" + md5Line + std::string(127 - md5Line.size(), ' '), Ok,
         0x010203},
        {"digest line of 128", "Version: 1.2.3\n" + md5Line + std::string(128 - md5Line.size(), ' ') + "\n", Ok,
         0x010203},
        {"pasted md5sum line", md5Line + "  " + std::string(200, 'n') + ".bin\nVersion: 1.2.3\n", Ok, 0x010203},
        {"NUL after the digest", md5Line + nul + "junk\nVersion: 1.2.3\n", Ok, 0x010203},
        {"NUL inside the digest", md5Line.substr(0, 10) + nul + md5Line.substr(10) + "\n", Mismatch, 0},
        {"version with trailing blanks", "Version: 1.2.3" + std::string(200, ' ') + "\n" + md5Line + "\n", Ok,
         0x010203},
        {"version with a long comment", "Version: 1.2.3 # " + std::string(200, 'c') + "\n" + md5Line + "\n", Ok,
         0x010203},
        // The rest of a long line is a line of its own, and the last "Version" counts.
        {"version line going on past the buffer",
         "Version: 1.2.3" + std::string(127 - 14, ' ') + "Version: 4.5.6\n" + md5Line + "\n", Ok, 0x040506},
        {"NUL inside the version", "Version: 1.2" + nul + ".3\n" + md5Line + "\n", Ok, 0x010200},
        {"last line without newline", md5Line + "\nVersion: 1.2.3", Ok, 0x010203},
        {"other keys of any length", "Comment: " + std::string(300, 'c') + "\n" + md5Line + "\n", Ok, 0},
        {"file name past the buffer", "Filename: fw.bin" + std::string(200, 'x') + "\n" + md5Line + "\n", NotFound, 0},
        {"NUL inside the file name", "Filename: fw" + nul + ".bin\n" + md5Line + "\n", NotFound, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeIn(storeDir, "fw.bin", firmware);
        manifest("Filename: fw.bin\n" + c.tail);
        switch (c.outcome) {
        case Ok:
            try {
                cKeyBinary binary;
                EXPECT_EQ(binary.version, c.version);
                EXPECT_EQ(std::string(binary.path), storeDir + "/fw.bin");
            } catch (const cKeyUpdaterException& e) {
                ADD_FAILURE() << e.what();
            }
            break;
        case NotFound: EXPECT_THROW(cKeyBinary(), cKeyBinaryNotfoundException); break;
        case Mismatch: EXPECT_THROW(cKeyBinary(), cKeyBinaryMD5exception); break;
        }
    }
}

// A FIFO in place of the manifest or the firmware file is refused at once: opening one for
// reading would otherwise wait for a writer forever.
TEST_F(FirmwareStore, FifoIsRefusedWithoutBlocking)
{
    for (const char* name : {"MANIFEST", "fw.bin"}) {
        SCOPED_TRACE(name);
        manifest(standard());
        const std::string fifo = storeDir + "/" + name;
        ASSERT_EQ(::unlink(fifo.c_str()), 0);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);

        auto outcome = std::async(std::launch::async, [] {
            try {
                cKeyBinary binary;
                return std::string("constructed");
            } catch (const cKeyBinaryNotfoundException&) {
                return std::string("not found");
            } catch (const cKeyUpdaterException& e) {
                return std::string(e.what());
            }
        });
        const bool finished = outcome.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        if (!finished) {
            // Let a blocked reader go so the test can end: a writer that comes and leaves.
            const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (w >= 0)
                ::close(w);
        }
        EXPECT_TRUE(finished) << "blocked on the FIFO";
        EXPECT_EQ(outcome.get(), "not found");
        ::unlink(fifo.c_str());
    }
}

TEST_F(FirmwareStore, PathsMustStayBelow128Bytes)
{
    // A store directory of the given length, holding a valid manifest for the firmware name.
    auto storeOfLength = [&](size_t length, const std::string& name) {
        std::string d = dir.path() + "/";
        d += std::string(length - d.size(), 'd');
        std::filesystem::create_directory(d);
        useStore(d);
        writeIn(d, name, firmware);
        manifest("Filename: " + name + "\nMD5: " + abcMd5 + "\n");
    };
    LogCapture capture("cKeyBinary");
    storeOfLength(127 - 13, "firmware.bin"); // firmware path of 127 bytes
    EXPECT_NO_THROW(cKeyBinary());
    storeOfLength(128 - 13, "firmware.bin");
    EXPECT_THROW(cKeyBinary(), cKeyBinaryNotfoundException);
    EXPECT_TRUE(capture.contains("Firmware path longer than 127 characters"));

    storeOfLength(127 - 9, "fw.bin"); // manifest path of 127 bytes
    EXPECT_NO_THROW(cKeyBinary());
    storeOfLength(128 - 9, "fw.bin");
    EXPECT_THROW(cKeyBinary(), cKeyBinaryNotfoundException);
    EXPECT_TRUE(capture.contains("Manifest path longer than 127 characters"));
}

// Names in the manifest stay in the store: no path, no parent, no symbolic link out of it.
TEST_F(FirmwareStore, FirmwareStaysInTheStore)
{
    const std::string outside = dir.path() + "/outside";
    std::filesystem::create_directory(outside);
    std::filesystem::create_directory(storeDir + "/sub");
    writeIn(outside, "fw.bin", firmware);
    writeIn(storeDir + "/sub", "fw.bin", firmware);
    writeIn(storeDir, "real.bin", firmware);
    ASSERT_EQ(::symlink((outside + "/fw.bin").c_str(), (storeDir + "/link-out.bin").c_str()), 0);
    ASSERT_EQ(::symlink("real.bin", (storeDir + "/link-in.bin").c_str()), 0);

    const struct {
        std::string name;
        std::string logged; // ERROR line
    } cases[] = {
        {"../outside/fw.bin", "Filename ../outside/fw.bin in " + storeDir + "/MANIFEST is not a file of the store"},
        {outside + "/fw.bin",
         "Filename " + outside + "/fw.bin in " + storeDir + "/MANIFEST is not a file of the store"},
        {"sub/fw.bin", "Filename sub/fw.bin in " + storeDir + "/MANIFEST is not a file of the store"},
        {".", "Filename . in " + storeDir + "/MANIFEST is not a file of the store"},
        {"..", "Filename .. in " + storeDir + "/MANIFEST is not a file of the store"},
        {"link-out.bin",
         "Could not open firmware file " + storeDir + "/link-out.bin: a symbolic link, which is not followed"},
        {"link-in.bin",
         "Could not open firmware file " + storeDir + "/link-in.bin: a symbolic link, which is not followed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        manifest("Filename: " + c.name + "\nMD5: " + abcMd5 + "\n");
        LogCapture capture("cKeyBinary");
        EXPECT_THROW(cKeyBinary(), cKeyBinaryNotfoundException);
        EXPECT_TRUE(capture.has("cKeyBinary", Priority::ERROR, c.logged)) << c.logged;
    }

    // A MANIFEST that is a link is not followed either.
    writeIn(outside, "MANIFEST", "Filename: real.bin\nMD5: " + abcMd5 + "\n");
    ::unlink((storeDir + "/MANIFEST").c_str());
    ASSERT_EQ(::symlink((outside + "/MANIFEST").c_str(), (storeDir + "/MANIFEST").c_str()), 0);
    EXPECT_THROW(cKeyBinary(), cKeyBinaryNotfoundException);
    // The store directory itself may be a link (a site switching stores by a link).
    ::unlink((storeDir + "/MANIFEST").c_str());
    manifest("Filename: real.bin\nMD5: " + abcMd5 + "\n");
    const std::string linkedStore = dir.path() + "/current";
    ASSERT_EQ(::symlink(storeDir.c_str(), linkedStore.c_str()), 0);
    useStore(linkedStore);
    EXPECT_NO_THROW(cKeyBinary());
}

// The firmware is read once, into the object: at most what the key takes.
TEST_F(FirmwareStore, ContentsAreReadUpToTheLimitTheKeyTakes)
{
    std::string largest(cKeyBinary::maxFirmwareSize, '\0');
    for (size_t i = 0; i < largest.size(); ++i)
        largest[i] = static_cast<char>(i * 7 + (i >> 9));
    writeIn(storeDir, "limit.bin", largest);
    manifest("Filename: limit.bin\nMD5: " + md5Hex(largest) + "\n");
    {
        cKeyBinary binary;
        EXPECT_EQ(binary.contents().size(), 514243u);
        EXPECT_TRUE(binary.contents() == std::vector<uint8_t>(largest.begin(), largest.end()));
    }

    const std::string over(514244, 'x');
    writeIn(storeDir, "over.bin", over);
    manifest("Filename: over.bin\nMD5: " + md5Hex(over) + "\n");
    LogCapture capture("cKeyBinary");
    EXPECT_THROW(cKeyBinary(), cKeyBinaryNotfoundException);
    EXPECT_TRUE(
        capture.has("cKeyBinary", Priority::ERROR,
                    "Firmware file " + storeDir + "/over.bin is larger than 514243 bytes, the most the key takes"));
}

TEST(SampleStore, ShippedConfigurationAndStoreVerify)
{
    char* previous = ::getcwd(nullptr, 0);
    ASSERT_EQ(::chdir(SOURCE_DIR), 0);
    ASSERT_TRUE(cConfig::load("examples/keysmith.conf"));
    ASSERT_TRUE(cKeyBinary::signaturesRequired()) << "the sample configuration checks signatures";
    LogCapture capture("cKeyBinary");
    try {
        cKeyBinary binary;
        EXPECT_STREQ(binary.path, "examples/keyBinaries/key_fw_1.4.2.bin");
        EXPECT_EQ(binary.version, 0x010402u);
        EXPECT_EQ(binary.contents().size(), 4096u);
    } catch (const cKeyUpdaterException& e) {
        ADD_FAILURE() << e.what();
    }
    EXPECT_TRUE(capture.has("cKeyBinary", Priority::INFO,
                            "examples/keyBinaries/MANIFEST signed by examples/firmware-trust/sample-signer.pem"));
    EXPECT_EQ(::chdir(previous), 0);
    std::free(previous);
}

} // namespace
