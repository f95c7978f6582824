#include "firmware_trust.h"

#include <algorithm>
#include <cerrno>

#include <dirent.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include "common/error_text.h"
#include "store_file.h"

namespace keysmith {

namespace {

using DirPtr = vek::CHandle<DIR, closedir>;
using BioPtr = vek::CHandle<BIO, BIO_free_all>;
using MdCtxPtr = vek::CHandle<EVP_MD_CTX, EVP_MD_CTX_free>;

// A PEM public key is a few hundred bytes; anything far larger is not one.
constexpr size_t kMaxPem = 64 * 1024;

bool isPemName(const std::string& name)
{
    static const std::string suffix = ".pem";
    return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

FirmwareTrust::FirmwareTrust(const std::string& dir) : _dir(dir)
{
    DirPtr d(::opendir(dir.c_str()));
    if (!d) {
        _error = "Could not read trust directory " + dir + ": " + vek::errorText(errno);
        return;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(d.get())) {
        if (isPemName(entry->d_name))
            names.push_back(entry->d_name);
        errno = 0;
    }
    if (errno != 0) {
        _error = "Could not read trust directory " + dir + ": " + vek::errorText(errno);
        return;
    }
    if (names.empty()) {
        _error = "Trust directory " + dir + " holds no public key (*.pem)";
        return;
    }
    std::sort(names.begin(), names.end()); // the same order, and the same log lines, every time

    for (const std::string& name : names) {
        const std::string shown = dir + "/" + name;
        std::vector<uint8_t> pem;
        // The trust directory is the site's own: links in it (to a shared key folder) are fine.
        const StoreRead read = readStoreFile(::dirfd(d.get()), name.c_str(), kMaxPem, pem, true);
        if (!read.ok()) {
            _error = "Could not read trusted key " + shown + ": " + read.reason();
            break;
        }
        BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
        PkeyPtr key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
        if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519) {
            _error = shown + " is not an Ed25519 public key";
            break;
        }
        _keys.push_back({name, std::move(key)});
    }
    if (!_error.empty())
        _keys.clear();
    ERR_clear_error(); // failed parses leave their reasons in this thread's queue
}

std::vector<std::string> FirmwareTrust::names() const
{
    std::vector<std::string> out;
    for (const Key& k : _keys)
        out.push_back(k.name);
    return out;
}

std::string FirmwareTrust::verify(const uint8_t* message, size_t length, const uint8_t* signature,
                                  size_t signatureLength) const
{
    if (!ok() || !signature || signatureLength != kSignatureSize || (!message && length != 0))
        return {};
    static const uint8_t none = 0;
    for (const Key& k : _keys) {
        MdCtxPtr ctx(EVP_MD_CTX_new());
        // Ed25519 hashes the message itself: no digest is named, and the check is one-shot.
        const bool valid = ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, k.key.get()) == 1 &&
            EVP_DigestVerify(ctx.get(), signature, signatureLength, message ? message : &none, length) == 1;
        if (valid)
            return k.name;
    }
    ERR_clear_error();
    return {};
}

} // namespace keysmith
