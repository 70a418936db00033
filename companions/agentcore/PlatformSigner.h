// A platform's own crypto module (Windows' CNG), asked first for a key's
// signatures; libgcrypt signs whatever it declines or fails. The core
// stays free of platform headers: a platform hands the key store its
// signer, and the native build has none.
#ifndef AGENTCORE_PLATFORMSIGNER_H
#define AGENTCORE_PLATFORMSIGNER_H

#include "Key.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace agentcore {

// One key as the platform holds it, released when the key goes.
class PlatformKey {
public:
    virtual ~PlatformKey() = default;
    // The whole signature blob, as signData makes it; false when the
    // platform cannot make this one, and the caller signs without it.
    virtual bool sign(const std::uint8_t* data, std::size_t size, std::uint32_t flags, Bytes& sigBlob) const = 0;
};

class PlatformSigner {
public:
    virtual ~PlatformSigner() = default;
    // Null for a key the platform does not take (its type or size, or a
    // refusal).
    virtual std::unique_ptr<PlatformKey> import(const PrivateKey& key) const = 0;
};

// The platform's key, kept only when a trial signature of it verifies:
// a platform that takes a key but signs wrongly would otherwise fail
// where libgcrypt would not.
std::shared_ptr<const PlatformKey> importChecked(const PlatformSigner& signer, const PrivateKey& key);

// What a platform signer needs beside its own calls.
enum class SignatureHash { Sha1, Sha256, Sha384, Sha512 };
// RSA's by the request's flags (SHA-1 for plain ssh-rsa), ECDSA's by the curve.
SignatureHash signatureHash(const PublicKey& key, std::uint32_t flags);
Bytes digestOf(SignatureHash hash, const std::uint8_t* data, std::size_t size);
// As libgcrypt's S-expressions name it.
const char* hashName(SignatureHash hash);
// The wire form of a bare signature: RSA's s, at most the modulus long;
// ECDSA's r and s, two halves of the curve's field size each.
bool signatureBlob(const PublicKey& key, SignatureHash hash, const std::uint8_t* raw, std::size_t rawSize,
                   Bytes& sigBlob);
// d mod p-1 and d mod q-1, the exponents a CRT key blob carries.
bool rsaCrtExponents(const PrivateKey& key, Bytes& dp, Bytes& dq);

}  // namespace agentcore

#endif
