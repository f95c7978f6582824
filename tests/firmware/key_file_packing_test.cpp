// The packed file format of the key transfer, byte for byte, and the helpers that need no key:
// packing the firmware with the size limit, and remote names.
#include "keysmith/key_file_transfer.h"
#include "tests/support/log_capture.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using log4cpp::Priority;
using testsupport::LogCapture;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes counting(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i);
    return b;
}

Bytes packOf(const Bytes& data) { return cKeyFileTransfer::pack(data.data(), data.size()); }

Bytes slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }

} // namespace

TEST(KeyFilePacking, CrcKnownAnswers)
{
    const struct {
        const char* text;
        uint8_t crc;
    } cases[] = {{"", 0x00}, {"a", 0x3B}, {"abc", 0x42}, {"123456789", 0xA1}};
    for (const auto& c : cases)
        EXPECT_EQ(cKeyFileTransfer::crc8Maxim(reinterpret_cast<const uint8_t*>(c.text), std::strlen(c.text)), c.crc)
            << c.text;
    const Bytes all = counting(256);
    EXPECT_EQ(cKeyFileTransfer::crc8Maxim(all.data(), all.size()), 0x18);
}

TEST(KeyFilePacking, BlocksByteForByte)
{
    EXPECT_EQ(packOf({'a', 'b', 'c'}), (Bytes{0x03, 0x00, 0x00, 0x00, 'a', 'b', 'c', 0x42}));
    EXPECT_TRUE(packOf({}).empty());

    const Bytes one = packOf(counting(256));
    ASSERT_EQ(one.size(), 261u);
    EXPECT_EQ(slice(one, 0, 4), (Bytes{0x00, 0x01, 0x00, 0x00}));
    EXPECT_EQ(slice(one, 4, 256), counting(256));
    EXPECT_EQ(one[260], 0x18);

    Bytes data = counting(256);
    data.push_back('a');
    const Bytes two = packOf(data);
    ASSERT_EQ(two.size(), 261u + 6u);
    EXPECT_EQ(slice(two, 0, 261), one);
    EXPECT_EQ(slice(two, 261, 6), (Bytes{0x01, 0x00, 0x00, 0x00, 'a', 0x3B}));
}

TEST(KeyFilePacking, PackedSizes)
{
    const struct {
        size_t file, packed;
    } cases[] = {{0, 0}, {1, 6}, {255, 260}, {256, 261}, {257, 267}, {512, 522}, {514243, 524288}, {514244, 524289}};
    for (const auto& c : cases) {
        EXPECT_EQ(cKeyFileTransfer::packedSize(c.file), c.packed) << c.file;
        EXPECT_EQ(packOf(Bytes(c.file, 0x5A)).size(), c.packed) << c.file;
    }
}

TEST(KeyFilePacking, PackFileUpToTheLimit)
{
    LogCapture log("cKeyFileTransfer");
    cKeyFileTransfer transfer(nullptr);
    Bytes packed{1, 2, 3};

    Bytes largest(514243);
    for (size_t i = 0; i < largest.size(); ++i)
        largest[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    EXPECT_EQ(transfer.packFile(largest, packed), 524288u);
    EXPECT_EQ(packed, packOf(largest));
    EXPECT_EQ(slice(packed, 524288 - 195 - 5, 4), (Bytes{195, 0, 0, 0})) << "the last block holds the rest";
    EXPECT_TRUE(log.has("cKeyFileTransfer", Priority::DEBUG, "Packed binary"));

    log.clear();
    EXPECT_EQ(transfer.packFile(Bytes(514244, 'x'), packed), 0u);
    EXPECT_TRUE(packed.empty());
    EXPECT_TRUE(log.has("cKeyFileTransfer", Priority::ERROR,
                        "514244 bytes of firmware pack into 524289, more than the 524288 bytes the key takes"));

    log.clear();
    EXPECT_EQ(transfer.packFile(Bytes(), packed), 0u);
    EXPECT_FALSE(log.contains("Packed binary"));
}

TEST(KeyFilePacking, RemoteNames)
{
    const struct {
        const char* path;
        size_t limit;
        const char* name; // null: refused
        bool logged;
    } cases[] = {
        {"binary.bin", 16, "binary.bin", false},
        {"/etc/mox/keyBinaries/fw-1.2.3.bin", 16, "fw-1.2.3.bin", true},
        {"a/b/c", 16, "c", true},
        {"/x/123456789012345", 16, "123456789012345", true},
        {"/x/1234567890123456", 16, nullptr, false},
        {"1234567890123456", 16, nullptr, false}, // never cut to fit
        {"/x/dir/", 16, nullptr, false},
        {"", 16, nullptr, false},
        {nullptr, 16, nullptr, false},
        {"abc", 4, "abc", false},
        {"abcd", 4, nullptr, false},
    };
    cKeyFileTransfer transfer(nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path ? c.path : "(null)");
        LogCapture log("cKeyFileTransfer");
        char out[16] = "untouched";
        EXPECT_EQ(transfer.baseName(c.path, out, c.limit), c.name != nullptr);
        EXPECT_STREQ(out, c.name ? c.name : "untouched");
        EXPECT_EQ(log.has("cKeyFileTransfer", Priority::DEBUG, std::string("FileName is: ") + (c.name ? c.name : "")),
                  c.logged);
    }
}
