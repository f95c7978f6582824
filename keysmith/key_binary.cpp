#include "key_binary.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "common/c_handle.h"
#include "common/error_text.h"
#include "common/read_only_mapping.h"
#include "common/unique_fd.h"
#include "firmware_trust.h"
#include "packed_version.h"
#include "platform/config.h"
#include "store_file.h"

namespace {

using EvpMdCtxPtr = vek::CHandle<EVP_MD_CTX, EVP_MD_CTX_free>;

const char* const categoryName = "cKeyBinary";
const char* const trustKey = "KeyBinary.trust";

// The manifest is read through a line buffer of one field: 127 characters and a terminator.
constexpr size_t maxPiece = cKeyBinary::fieldSize - 1;

/// The manifest's bytes, read line by line.
struct ManifestCursor {
    const std::vector<uint8_t>& bytes;
    size_t pos = 0;
};

/// Reads the next piece of a manifest line: the rest of the line (newline dropped) or its next
/// 127 characters. complete tells whether the piece ends its line; a longer line continues in
/// the next piece. False at the end of the manifest.
bool readPiece(ManifestCursor& in, std::string& piece, bool& complete)
{
    piece.clear();
    complete = true;
    const size_t size = in.bytes.size();
    while (piece.size() < maxPiece && in.pos < size) {
        const char c = static_cast<char>(in.bytes[in.pos++]);
        if (c == '\n')
            return true;
        piece.push_back(c);
    }
    if (piece.size() < maxPiece) // the end of the manifest
        return !piece.empty();
    // The buffer is full: a line of exactly 127 characters still ends here.
    if (in.pos < size) {
        if (in.bytes[in.pos] == '\n')
            ++in.pos;
        else
            complete = false;
    }
    return true;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/// A name that, joined to the store directory, stays in it.
bool staysInStore(const char* name)
{
    return std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

template <typename Digest>
Digest digestOf(const EVP_MD* md, const void* data, size_t length)
{
    Digest digest{};
    unsigned int written = 0;
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1 || EVP_DigestUpdate(ctx.get(), data, length) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest.data(), &written) != 1 || written != digest.size()) {
        log4cpp::Category::getInstance(categoryName).error("Could not compute a %s digest", EVP_MD_get0_name(md));
        throw cKeyBinaryException();
    }
    return digest;
}

} // namespace

cKeyBinary::cKeyBinary()
    : log(log4cpp::Category::getInstance(categoryName)), path{}, fileName{}, md5{}, version(0), sha256{}
{
    const std::string dir = cConfig::getString("KeyBinary", "/etc/mox/keyBinaries");
    const char* const trustDir = cConfig::getString(trustKey, nullptr);
    const std::string manifestPath = dir + "/MANIFEST";
    if (manifestPath.size() >= fieldSize) {
        log.error("Manifest path longer than %zu characters: %s", fieldSize - 1, manifestPath.c_str());
        throw cKeyBinaryNotfoundException();
    }

    // Every file is opened relative to this one descriptor: the store cannot change under the
    // check by a rename of its directory, and no name in it can lead elsewhere.
    vek::UniqueFd store(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!store.valid()) {
        log.debug("Could not open %s", manifestPath.c_str());
        throw cKeyBinaryNotfoundException();
    }
    const std::vector<uint8_t> manifest = readManifest(store.get(), manifestPath);
    // The signature comes first: nothing an unsigned manifest says is acted on.
    if (trustDir)
        verifySignature(store.get(), dir, manifest, trustDir);
    parseManifest(manifest, manifestPath);

    if (fileName[0] == '\0') {
        log.error("No Filename in %s", manifestPath.c_str());
        throw cKeyBinaryNotfoundException();
    }
    if (!staysInStore(fileName)) {
        log.error("Filename %s in %s is not a file of the store", fileName, manifestPath.c_str());
        throw cKeyBinaryNotfoundException();
    }
    const std::string firmwarePath = dir + "/" + fileName;
    if (firmwarePath.size() >= fieldSize) {
        log.error("Firmware path longer than %zu characters: %s", fieldSize - 1, firmwarePath.c_str());
        throw cKeyBinaryNotfoundException();
    }
    std::memcpy(path, firmwarePath.c_str(), firmwarePath.size() + 1);
    if (trustDir && sha256[0] == '\0') {
        log.error("No SHA256 line in %s", manifestPath.c_str());
        throw cKeyBinarySignatureException();
    }
    if (trustDir && !sha256Wellformed(sha256)) {
        log.error("SHA256 line in %s is not 64 hexadecimal digits", manifestPath.c_str());
        throw cKeyBinarySignatureException();
    }

    readFirmware(store.get());
    if (trustDir && !sha256Matches(sha256Of(data.data(), data.size()), sha256)) {
        log.error("SHA256 of %s does not match the signed manifest", path);
        throw cKeyBinarySignatureException();
    }
    if (!md5Matches(md5Of(data.data(), data.size()).data(), md5))
        throw cKeyBinaryMD5exception();
}

std::vector<uint8_t> cKeyBinary::readManifest(int storeFd, const std::string& manifestPath)
{
    std::vector<uint8_t> manifest;
    const keysmith::StoreRead read = keysmith::readStoreFile(storeFd, "MANIFEST", maxManifestSize, manifest);
    switch (read.status) {
    case keysmith::StoreRead::Ok: return manifest;
    case keysmith::StoreRead::CannotOpen: log.debug("Could not open %s", manifestPath.c_str()); break;
    case keysmith::StoreRead::TooLarge:
        log.error("%s is larger than %zu bytes", manifestPath.c_str(), maxManifestSize);
        break;
    default: log.error("Could not read %s: %s", manifestPath.c_str(), read.reason().c_str()); break;
    }
    throw cKeyBinaryNotfoundException();
}

void cKeyBinary::parseManifest(const std::vector<uint8_t>& manifest, const std::string& manifestPath)
{
    ManifestCursor in{manifest};
    std::string line, key, value;
    bool complete = true;
    while (readPiece(in, line, complete)) {
        if (!splitLine(line, key, value, ':'))
            continue;
        if (key == "Filename") {
            // A file name cut at the line buffer or at a NUL byte names some other file: the
            // store is refused rather than failing later on a name nobody wrote.
            if (!complete) {
                log.error("%s line longer than %zu characters in %s", key.c_str(), maxPiece, manifestPath.c_str());
                throw cKeyBinaryNotfoundException();
            }
            if (value.find('\0') != std::string::npos) {
                log.error("%s value holds a NUL byte in %s", key.c_str(), manifestPath.c_str());
                throw cKeyBinaryNotfoundException();
            }
            storeField(fileName, value, key.c_str());
        } else if (key == "MD5" || key == "Version" || key == "SHA256") {
            // Stores carry trailing text on these lines (a pasted md5sum line, a comment after
            // the version): the value is what the first piece holds, up to a NUL byte, and the
            // rest of a long line is read as lines of its own.
            value.resize(::strnlen(value.c_str(), value.size()));
            if (key == "MD5") {
                storeField(md5, value, key.c_str());
            } else if (key == "SHA256") {
                storeField(sha256, value, key.c_str());
            } else {
                version = keysmith::packVersion(value);
                log.debug("%s - %s", fileName, keysmith::versionText(version).c_str());
            }
        }
    }
}

void cKeyBinary::verifySignature(int storeFd, const std::string& dir, const std::vector<uint8_t>& manifest,
                                 const char* trustDir)
{
    const keysmith::FirmwareTrust trust(trustDir);
    if (!trust.ok()) {
        log.error("%s", trust.error().c_str());
        throw cKeyBinarySignatureException();
    }

    const std::string sigPath = dir + "/MANIFEST.sig";
    std::vector<uint8_t> signature;
    const keysmith::StoreRead read =
        keysmith::readStoreFile(storeFd, "MANIFEST.sig", keysmith::FirmwareTrust::kSignatureSize, signature);
    if (read.status == keysmith::StoreRead::CannotOpen && read.error == ENOENT) {
        log.error("No signature: %s is missing", sigPath.c_str());
        throw cKeyBinarySignatureException();
    }
    if (read.status == keysmith::StoreRead::TooLarge) {
        log.error("Signature %s is longer than %zu bytes", sigPath.c_str(), trust.kSignatureSize);
        throw cKeyBinarySignatureException();
    }
    if (read.ok() && signature.size() != trust.kSignatureSize) {
        log.error("Signature %s is %zu bytes, not %zu", sigPath.c_str(), signature.size(), trust.kSignatureSize);
        throw cKeyBinarySignatureException();
    }
    if (!read.ok()) {
        log.error("No signature: could not read %s: %s", sigPath.c_str(), read.reason().c_str());
        throw cKeyBinarySignatureException();
    }

    const std::string signer = trust.verify(manifest.data(), manifest.size(), signature.data(), signature.size());
    if (signer.empty()) {
        log.error("No trusted key in %s verifies %s", trustDir, sigPath.c_str());
        throw cKeyBinarySignatureException();
    }
    log.info("%s/MANIFEST signed by %s/%s", dir.c_str(), trustDir, signer.c_str());
}

void cKeyBinary::readFirmware(int storeFd)
{
    const keysmith::StoreRead read = keysmith::readStoreFile(storeFd, fileName, maxFirmwareSize, data);
    switch (read.status) {
    case keysmith::StoreRead::Ok: return;
    case keysmith::StoreRead::CannotOpen:
    case keysmith::StoreRead::SymbolicLink:
        log.error("Could not open firmware file %s: %s", path, read.reason().c_str());
        break;
    case keysmith::StoreRead::NotRegular: log.error("Firmware file %s is not a regular file", path); break;
    case keysmith::StoreRead::TooLarge:
        log.error("Firmware file %s is larger than %zu bytes, the most the key takes", path, maxFirmwareSize);
        break;
    case keysmith::StoreRead::CannotRead:
        log.error("Could not read firmware file %s: %s", path, read.reason().c_str());
        break;
    }
    throw cKeyBinaryNotfoundException();
}

bool cKeyBinary::signaturesRequired() { return cConfig::getString(trustKey, nullptr) != nullptr; }

void cKeyBinary::reportTrust()
{
    log4cpp::Category& log = log4cpp::Category::getInstance(categoryName);
    const char* const dir = cConfig::getString("KeyBinary", "/etc/mox/keyBinaries");
    const char* const trustDir = cConfig::getString(trustKey, nullptr);
    if (!trustDir) {
        log.warn("Firmware store %s is not signature-checked: %s is not set", dir, trustKey);
        return;
    }
    const keysmith::FirmwareTrust trust(trustDir);
    if (!trust.ok()) {
        log.error("%s", trust.error().c_str());
        return;
    }
    std::string names;
    for (const std::string& n : trust.names())
        names += (names.empty() ? "" : ", ") + n;
    log.info("Firmware store %s must be signed by a key in %s: %s", dir, trustDir, names.c_str());
}

void cKeyBinary::storeField(char (&field)[fieldSize], const std::string& value, const char* key)
{
    if (value.size() >= fieldSize) {
        log.error("%s value longer than %zu characters", key, fieldSize - 1);
        throw cKeyBinaryNotfoundException();
    }
    std::memcpy(field, value.c_str(), value.size() + 1);
}

bool cKeyBinary::splitLine(const std::string& line, std::string& key, std::string& value, char separator)
{
    const size_t sep = line.find(separator);
    if (sep == std::string::npos)
        return false;
    key.assign(line, 0, sep);
    // The character after the separator is skipped whatever it is (normally the space).
    size_t start = std::min(sep + 2, line.size());
    while (start < line.size() && std::isspace(static_cast<unsigned char>(line[start])))
        ++start;
    value.assign(line, start, std::string::npos);
    return true;
}

cKeyBinary::Md5Digest cKeyBinary::md5OfFile(const char* path)
{
    log4cpp::Category& log = log4cpp::Category::getInstance(categoryName);
    if (!path)
        throw cKeyBinaryNotfoundException();

    vek::UniqueFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC)); // a FIFO must not block
    if (fd.get() < 0) {
        log.error("Could not open firmware file %s: %s", path, vek::errorText(errno).c_str());
        throw cKeyBinaryNotfoundException();
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        log.error("Could not read the size of firmware file %s: %s", path, vek::errorText(errno).c_str());
        throw cKeyBinaryNotfoundException();
    }
    if (!S_ISREG(st.st_mode)) {
        log.error("Firmware file %s is not a regular file", path);
        throw cKeyBinaryNotfoundException();
    }
    if (static_cast<uintmax_t>(st.st_size) > SIZE_MAX) {
        log.error("Firmware file %s is too large to map", path);
        throw cKeyBinaryNotfoundException();
    }

    vek::ReadOnlyMapping contents(fd.get(), static_cast<size_t>(st.st_size));
    if (!contents.ok()) {
        log.error("Could not map firmware file %s: %s", path, vek::errorText(errno).c_str());
        throw cKeyBinaryNotfoundException();
    }

    return md5Of(static_cast<const uint8_t*>(contents.data()), contents.size());
}

cKeyBinary::Md5Digest cKeyBinary::md5Of(const uint8_t* data, size_t length)
{
    return digestOf<Md5Digest>(EVP_md5(), data, length);
}

cKeyBinary::Sha256Digest cKeyBinary::sha256Of(const uint8_t* data, size_t length)
{
    return digestOf<Sha256Digest>(EVP_sha256(), data, length);
}

bool cKeyBinary::sha256Wellformed(const char* text)
{
    if (!text)
        return false;
    for (size_t i = 0; i < 2 * sizeof(Sha256Digest); ++i)
        if (hexDigit(text[i]) < 0) // the terminator is no digit either: a short value stops here
            return false;
    const char after = text[2 * sizeof(Sha256Digest)];
    return after == '\0' || std::isspace(static_cast<unsigned char>(after));
}

bool cKeyBinary::sha256Matches(const Sha256Digest& digest, const char* text)
{
    if (!sha256Wellformed(text))
        return false;
    for (size_t i = 0; i < digest.size(); ++i)
        if (hexDigit(text[2 * i]) * 16 + hexDigit(text[2 * i + 1]) != digest[i])
            return false;
    return true;
}

bool cKeyBinary::md5Matches(const unsigned char* digest, const char* text)
{
    if (!digest || !text || !*text)
        return false;
    const size_t digits = ::strnlen(text, 2 * sizeof(Md5Digest));
    for (size_t i = 0; i < sizeof(Md5Digest); ++i) {
        // Like "%2hhx": one or two leading hex digits of the pair; none (or past the end) is 0.
        int byte = 0;
        const int high = 2 * i < digits ? hexDigit(text[2 * i]) : -1;
        if (high >= 0) {
            const int low = 2 * i + 1 < digits ? hexDigit(text[2 * i + 1]) : -1;
            byte = low >= 0 ? high * 16 + low : high;
        }
        if (byte != digest[i])
            return false;
    }
    return true;
}
