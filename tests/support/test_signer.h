#pragma once
// An Ed25519 signing key for tests, made from a fixed seed so that every run signs alike. Header
// only: the fuzz targets use it too, and they do not link the test support library.

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "common/c_handle.h"

namespace testsupport {

class TestSigner {
public:
    /// The key whose 32-byte private seed is `seed` repeated.
    explicit TestSigner(uint8_t seed)
    {
        std::array<uint8_t, 32> raw;
        raw.fill(seed);
        _key.reset(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, raw.data(), raw.size()));
        if (!_key)
            throw std::runtime_error("no Ed25519 key");
    }

    /// The public key as a PEM "PUBLIC KEY" block, as a trust directory holds it.
    std::string publicPem() const
    {
        return pem([this](BIO* bio) { return PEM_write_bio_PUBKEY(bio, _key.get()); });
    }
    /// The private key as a PEM "PRIVATE KEY" block, as openssl and keysmith-sign take it.
    std::string privatePem() const
    {
        return pem([this](BIO* bio) {
            return PEM_write_bio_PrivateKey(bio, _key.get(), nullptr, nullptr, 0, nullptr, nullptr);
        });
    }

    /// The raw 64-byte Ed25519 signature of message (deterministic).
    std::string sign(const std::string& message) const
    {
        vek::CHandle<EVP_MD_CTX, EVP_MD_CTX_free> ctx(EVP_MD_CTX_new());
        unsigned char sig[64];
        size_t length = sizeof sig;
        if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, _key.get()) != 1 ||
            EVP_DigestSign(ctx.get(), sig, &length, reinterpret_cast<const unsigned char*>(message.data()),
                           message.size()) != 1)
            throw std::runtime_error("Ed25519 signing failed");
        return std::string(reinterpret_cast<const char*>(sig), length);
    }

private:
    template <typename Write>
    static std::string pem(Write write)
    {
        vek::CHandle<BIO, BIO_free_all> bio(BIO_new(BIO_s_mem()));
        if (!bio || write(bio.get()) != 1)
            throw std::runtime_error("PEM writing failed");
        BUF_MEM* mem = nullptr;
        BIO_get_mem_ptr(bio.get(), &mem);
        return std::string(mem->data, mem->length);
    }

    vek::CHandle<EVP_PKEY, EVP_PKEY_free> _key;
};

} // namespace testsupport
