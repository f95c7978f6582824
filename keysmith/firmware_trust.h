#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "common/c_handle.h"

namespace keysmith {

/// The public keys a site trusts to sign firmware stores: every "*.pem" file of one directory,
/// each an Ed25519 public key. A signature made by any one of them is accepted, so a signing key
/// is rotated by adding the new key before the old one goes.
class FirmwareTrust {
public:
    /// Raw Ed25519 signatures are this long.
    static constexpr size_t kSignatureSize = 64;

    /// Loads the keys of dir. The set is unusable (ok() false, error() says why in one line) when
    /// the directory cannot be read, holds no "*.pem" file, or one of them is not an Ed25519
    /// public key: a site that turned checking on gets no store until its keys are in order.
    explicit FirmwareTrust(const std::string& dir);
    FirmwareTrust(const FirmwareTrust&) = delete;
    FirmwareTrust& operator=(const FirmwareTrust&) = delete;

    bool ok() const { return _error.empty(); }
    const std::string& error() const { return _error; }
    /// The directory and its keys' file names, in name order.
    const std::string& dir() const { return _dir; }
    std::vector<std::string> names() const;

    /// The file name of the first trusted key under which signature is a valid Ed25519 signature
    /// of the message; empty when none is (and always when the set is unusable or the signature
    /// is not kSignatureSize bytes).
    std::string verify(const uint8_t* message, size_t length, const uint8_t* signature, size_t signatureLength) const;

private:
    using PkeyPtr = vek::CHandle<EVP_PKEY, EVP_PKEY_free>;
    struct Key {
        std::string name;
        PkeyPtr key;
    };

    std::string _dir;
    std::vector<Key> _keys;
    std::string _error;
};

} // namespace keysmith
