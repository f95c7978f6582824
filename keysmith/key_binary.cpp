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
#include "packed_version.h"
#include "platform/config.h"

namespace {

using FilePtr = CHandle<FILE, std::fclose>;
using EvpMdCtxPtr = CHandle<EVP_MD_CTX, EVP_MD_CTX_free>;

const char* const categoryName = "cKeyBinary";

// The manifest is read through a line buffer of one field: 127 characters and a terminator.
constexpr size_t maxPiece = cKeyBinary::fieldSize - 1;

/// Reads the next piece of a manifest line: the rest of the line (newline dropped) or its next
/// 127 characters. complete tells whether the piece ends its line; a longer line continues in
/// the next piece. False at the end of the file.
bool readPiece(FILE* file, std::string& piece, bool& complete)
{
    piece.clear();
    int c = EOF;
    while (piece.size() < maxPiece && (c = std::getc(file)) != EOF) {
        if (c == '\n') {
            complete = true;
            return true;
        }
        piece.push_back(static_cast<char>(c));
    }
    complete = true;
    if (c == EOF)
        return !piece.empty();
    // The buffer is full: a line of exactly 127 characters still ends here.
    c = std::getc(file);
    if (c != '\n' && c != EOF) {
        std::ungetc(c, file);
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

} // namespace

cKeyBinary::cKeyBinary()
    : log(log4cpp::Category::getInstance(categoryName)), path{}, fileName{}, md5{}, version(0)
{
    const std::string dir = cConfig::getString("KeyBinary", "/etc/mox/keyBinaries");
    const std::string manifestPath = dir + "/MANIFEST";
    if (manifestPath.size() >= fieldSize) {
        log.error("Manifest path longer than %zu characters: %s", fieldSize - 1, manifestPath.c_str());
        throw cKeyBinaryNotfoundException();
    }
    readManifest(manifestPath);

    if (fileName[0] == '\0') {
        log.error("No Filename in %s", manifestPath.c_str());
        throw cKeyBinaryNotfoundException();
    }
    const std::string firmwarePath = dir + "/" + fileName;
    if (firmwarePath.size() >= fieldSize) {
        log.error("Firmware path longer than %zu characters: %s", fieldSize - 1, firmwarePath.c_str());
        throw cKeyBinaryNotfoundException();
    }
    std::memcpy(path, firmwarePath.c_str(), firmwarePath.size() + 1);

    const Md5Digest digest = md5OfFile(path);
    if (!md5Matches(digest.data(), md5))
        throw cKeyBinaryMD5exception();
}

void cKeyBinary::readManifest(const std::string& manifestPath)
{
    // Without O_NONBLOCK a FIFO in the store would block the daemon in open() until some
    // writer came; anything but a regular file is refused before it is read.
    vek::UniqueFd fd(::open(manifestPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        log.debug("Could not open %s", manifestPath.c_str());
        throw cKeyBinaryNotfoundException();
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        log.error("%s is not a regular file", manifestPath.c_str());
        throw cKeyBinaryNotfoundException();
    }
    FilePtr file(::fdopen(fd.get(), "r"));
    if (!file) {
        log.debug("Could not open %s", manifestPath.c_str());
        throw cKeyBinaryNotfoundException();
    }
    fd.release(); // the FILE closes it now

    std::string line, key, value;
    bool complete = true;
    while (readPiece(file.get(), line, complete)) {
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
        } else if (key == "MD5" || key == "Version") {
            // Stores carry trailing text on these lines (a pasted md5sum line, a comment after
            // the version): the value is what the first piece holds, up to a NUL byte, and the
            // rest of a long line is read as lines of its own.
            value.resize(::strnlen(value.c_str(), value.size()));
            if (key == "MD5") {
                storeField(md5, value, key.c_str());
            } else {
                version = keysmith::packVersion(value);
                log.debug("%s - %s", fileName, keysmith::versionText(version).c_str());
            }
        }
    }
    if (std::ferror(file.get())) {
        log.error("Could not read %s", manifestPath.c_str());
        throw cKeyBinaryNotfoundException();
    }
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

    Md5Digest digest{};
    unsigned int length = 0;
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1
        || EVP_DigestUpdate(ctx.get(), contents.data(), contents.size()) != 1
        || EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) != 1 || length != digest.size()) {
        log.error("Could not compute the MD5 digest of %s", path);
        throw cKeyBinaryException();
    }
    return digest;
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
