#pragma once

#include <array>
#include <cstdint>
#include <string>

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

/// The firmware in the local store: reads the store's MANIFEST (file name, version, MD5 digest)
/// and verifies the firmware file against the digest. A constructed object is always verified.
class cKeyBinary {
public:
    /// Size of each text field, terminator included.
    static constexpr size_t fieldSize = 128;
    using Md5Digest = std::array<unsigned char, 16>;

    /// Reads the manifest of the store named by the configuration value "KeyBinary" and verifies
    /// the firmware file. Throws cKeyBinaryNotfoundException or cKeyBinaryMD5exception.
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
    /// True when the first 32 characters of text, read as 16 hexadecimal pairs (either case; a
    /// pair that is not hexadecimal counts as 0), equal the digest. False when either is missing.
    static bool md5Matches(const unsigned char* digest, const char* text);

private:
    log4cpp::Category& log;

public:
    char path[fieldSize];     ///< firmware file: store directory, "/", fileName
    char fileName[fieldSize]; ///< manifest "Filename"
    char md5[fieldSize];      ///< manifest "MD5": 32 hexadecimal digits
    uint32_t version;         ///< manifest "Version", packed

private:
    void readManifest(const std::string& manifestPath);
    /// Copies a manifest value into its field; rejects the manifest when it does not fit.
    void storeField(char (&field)[fieldSize], const std::string& value, const char* key);
};
