#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <log4cpp/Category.hh>

#include "updater_exception.h"

/// Any failure of the firmware store.
class cKeyBinaryException : public cKeyUpdaterException {
public:
    virtual ~cKeyBinaryException() = default;
    virtual const char* what() const override { return "a binary exception"; }
};

/// The manifest or the firmware file is missing, unreadable or unusable.
class cKeyBinaryNotfoundException : public cKeyBinaryException {
public:
    virtual ~cKeyBinaryNotfoundException() = default;
    virtual const char* what() const override { return "Binary Not Found exception"; }
};

/// The firmware file does not match the digest in the manifest (or the manifest has none).
class cKeyBinaryMD5exception : public cKeyBinaryException {
public:
    virtual ~cKeyBinaryMD5exception() = default;
    virtual const char* what() const override { return "MD5 mismatch exception"; }
};

/// A signed store failed its check: no signature, none by a trusted key, no usable trusted key,
/// no SHA256 line in the manifest, or a firmware file whose SHA-256 is not the signed one.
class cKeyBinarySignatureException : public cKeyBinaryException {
public:
    virtual ~cKeyBinarySignatureException() = default;
    virtual const char* what() const override { return "Signature exception"; }
};

/// The firmware in the local store: reads the store's MANIFEST (file name, version, MD5 digest)
/// and verifies the firmware file against the digest. A constructed object is always verified,
/// and holds the bytes it verified: they are what a transfer sends, whatever happens to the file
/// afterwards.
///
/// With the configuration value "KeyBinary.trust" set (a directory of Ed25519 public keys in PEM
/// files), the store must be signed as well: "MANIFEST.sig" holds the raw 64-byte Ed25519
/// signature of the exact bytes of MANIFEST by one of those keys, and MANIFEST a line
/// "SHA256: <64 hexadecimal digits>" with the firmware file's SHA-256.
class cKeyBinary {
public:
    /// Size of each text field, terminator included.
    static constexpr size_t fieldSize = 128;
    /// The largest firmware file the key takes (it packs into 524288 bytes).
    static constexpr size_t maxFirmwareSize = 514243;
    /// A MANIFEST is a few lines; anything larger is not read.
    static constexpr size_t maxManifestSize = 64 * 1024;
    using Md5Digest = std::array<unsigned char, 16>;
    using Sha256Digest = std::array<unsigned char, 32>;

    /// Reads the manifest of the store named by the configuration value "KeyBinary" and verifies
    /// the firmware file. Throws cKeyBinaryNotfoundException, cKeyBinaryMD5exception or (for a
    /// signed store) cKeyBinarySignatureException.
    cKeyBinary();
    virtual ~cKeyBinary() = default;
    cKeyBinary(const cKeyBinary&) = delete;
    cKeyBinary& operator=(const cKeyBinary&) = delete;

    /// Splits "key: value" at the first separator. The character right after the separator is
    /// skipped whatever it is, then any white space; the key is kept exactly as written.
    /// False when the line holds no separator.
    static bool splitLine(const std::string& line, std::string& key, std::string& value, char separator);
    /// MD5 of the whole file. Throws cKeyBinaryNotfoundException when the file cannot be opened,
    /// is not a regular file or cannot be read.
    static Md5Digest md5OfFile(const char* path);
    static Md5Digest md5Of(const uint8_t* data, size_t length);
    static Sha256Digest sha256Of(const uint8_t* data, size_t length);
    /// True when the first 32 characters of text, read as 16 hexadecimal pairs (either case; a
    /// pair that is not hexadecimal counts as 0), equal the digest. False when either is missing.
    static bool md5Matches(const unsigned char* digest, const char* text);
    /// True when text is the 64 hexadecimal digits of the digest (either case), followed by
    /// nothing or by white space and anything (a pasted sha256sum line).
    static bool sha256Matches(const Sha256Digest& digest, const char* text);
    /// True when text is a well-formed SHA256 value as sha256Matches reads it.
    static bool sha256Wellformed(const char* text);
    /// Logs once, at start-up, whether stores are signature-checked: a WARN line when
    /// "KeyBinary.trust" is not set; otherwise the trusted keys (INFO), or why they are unusable
    /// (ERROR; every store is then refused until they are fixed).
    static void reportTrust();
    /// True when the configuration asks for signed stores.
    static bool signaturesRequired();

    /// The verified bytes of the firmware file.
    const std::vector<uint8_t>& contents() const { return data; }

private:
    log4cpp::Category& log;

public:
    char path[fieldSize];     ///< firmware file: store directory, "/", fileName
    char fileName[fieldSize]; ///< manifest "Filename"
    char md5[fieldSize];      ///< manifest "MD5": 32 hexadecimal digits
    uint32_t version;         ///< manifest "Version", packed
    char sha256[fieldSize];   ///< manifest "SHA256": 64 hexadecimal digits; empty when absent

private:
    std::vector<uint8_t> data; ///< the firmware file as read and verified

    /// Reads MANIFEST of the store into memory (the bytes a signature covers).
    std::vector<uint8_t> readManifest(int storeFd, const std::string& manifestPath);
    void parseManifest(const std::vector<uint8_t>& manifest, const std::string& manifestPath);
    /// Checks MANIFEST.sig against the trusted keys; throws cKeyBinarySignatureException.
    void verifySignature(int storeFd, const std::string& dir, const std::vector<uint8_t>& manifest,
                         const char* trustDir);
    void readFirmware(int storeFd);
    /// Copies a manifest value into its field; rejects the manifest when it does not fit.
    void storeField(char (&field)[fieldSize], const std::string& value, const char* key);
};
