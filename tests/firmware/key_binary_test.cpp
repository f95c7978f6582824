#include "config.h"
#include "key_binary.h"
#include "log_capture.h"
#include "temp_dir.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

using log4cpp::Priority;
using testsupport::LogCapture;
using testsupport::TempDir;

namespace {

// Known answers, independent of the code under test.
const std::string firmware = "abc";
const std::string abcMd5 = "900150983cd24fb0d6963f7d28e17f72";
const std::string emptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";

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
        {"", 0},                          // no Version line
        {"Version:1.2.3\n", 0x020300},    // the character after ':' is skipped, even the 1
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
    manifest("filename: other.bin\nFilename : other.bin\n Filename: other.bin\n" + standard()
             + "MD5: 00000000000000000000000000000000\nMD5: " + abcMd5 + "\n");
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

TEST_F(FirmwareStore, OverlongValuesAreRejectedNotCut)
{
    const std::string md5Line = "MD5: " + abcMd5;
    const struct {
        std::string extra;
        bool ok;
    } cases[] = {
        {md5Line + std::string(127 - md5Line.size(), ' ') + "\n", true}, // 127 characters fit
        {md5Line + std::string(127 - md5Line.size(), ' '), true},       // also at the end of file
        {md5Line + std::string(128 - md5Line.size(), ' ') + "\n", false},
        {"Version: 1.2.3" + std::string(200, ' ') + "\n", false},
        {"Filename: fw.bin" + std::string(200, 'x') + "\n", false},
        {"Comment: " + std::string(300, 'c') + "\n" + md5Line + "\n", true}, // other keys: ignored
        {md5Line.substr(0, 10) + std::string(1, '\0') + md5Line.substr(10) + "\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extra.size());
        writeIn(storeDir, "fw.bin", firmware);
        manifest("Filename: fw.bin\nVersion: 1.2.3\n" + c.extra);
        if (c.ok)
            EXPECT_NO_THROW(cKeyBinary());
        else
            EXPECT_THROW(cKeyBinary(), cKeyBinaryNotfoundException);
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

TEST(SampleStore, ShippedConfigurationAndStoreVerify)
{
    char* previous = ::getcwd(nullptr, 0);
    ASSERT_EQ(::chdir(SOURCE_DIR), 0);
    ASSERT_TRUE(cConfig::load("examples/keysmith.conf"));
    try {
        cKeyBinary binary;
        EXPECT_STREQ(binary.path, "examples/keyBinaries/key_fw_1.4.2.bin");
        EXPECT_EQ(binary.version, 0x010402u);
    } catch (const cKeyUpdaterException& e) {
        ADD_FAILURE() << e.what();
    }
    EXPECT_EQ(::chdir(previous), 0);
    std::free(previous);
}

} // namespace
