// Keys as the agent holds them: the public half in its wire form (the
// blob clients name a key by) and the private half, both kept in buffers
// that are wiped when the key goes.
#ifndef AGENTCORE_KEY_H
#define AGENTCORE_KEY_H

#include "Bytes.h"
#include "Wire.h"

#include <cstdint>
#include <memory>
#include <string>

namespace agentcore {

enum class KeyAlgorithm { Ed25519, Rsa, EcdsaP256, EcdsaP384, EcdsaP521, Dsa };

// Sign request flags of the agent protocol.
enum : std::uint32_t { SIGN_FLAG_RSA_SHA2_256 = 2, SIGN_FLAG_RSA_SHA2_512 = 4 };

struct PublicKey {
    KeyAlgorithm algorithm = KeyAlgorithm::Ed25519;
    bool certificate = false;
    std::string typeName;  // as on the wire, "ssh-ed25519-cert-v01@openssh.com" and so on
    Bytes blob;            // the whole public blob, certificate included
    // The key's own numbers, as unsigned magnitudes (or raw point bytes).
    Bytes ed25519;         // 32 bytes
    Bytes rsaE, rsaN;
    Bytes dsaP, dsaQ, dsaG, dsaY;
    Bytes ecPoint;         // uncompressed: 04 || X || Y

    unsigned bits() const;
};

class PlatformKey;  // PlatformSigner.h

struct PrivateKey {
    PublicKey pub;
    std::string comment;
    Bytes ed25519Seed;  // 32 bytes
    Bytes rsaD, rsaIqmp, rsaP, rsaQ;
    Bytes dsaX;
    Bytes ecD;
    // The same key in the platform's crypto module, when a key store's
    // platform signer took it; signData asks it first.
    std::shared_ptr<const PlatformKey> platform;

    ~PrivateKey() { wipeMemory(&comment[0], comment.size()); }
};

// A key's comment and the name it is listed by: more is refused, so that
// no key takes a large share of the one answer that lists them all.
const std::size_t kMaxKeyName = 1024;

// The algorithm's own name, without a certificate suffix.
const char* baseTypeName(KeyAlgorithm algorithm);

// Parses a public key blob, plain or certificate. The whole blob must be
// used up; a certificate's fields are checked for form, not trust. Keys
// outside the sizes this agent works with (numbers over 16384 bits, DSA
// other than 1024/160, RSA exponents even, under 3 or over 64 bits) are
// refused before any arithmetic, and so is a certificate signed by one.
bool parsePublicKey(const std::uint8_t* data, std::size_t size, PublicKey& out);

enum class AddResult { Ok, Malformed, Refused };

// Reads the key part of an add identity request (everything after the
// message number, comment included) and checks that the private half
// belongs to the public half (for RSA: n = pq, e d = 1 mod p-1 and q-1,
// iqmp q = 1 mod p). Refused: well formed, but a type or size this agent
// does not hold (security keys, RSA under 1024 bits, a comment over
// kMaxKeyName...), decided before any arithmetic.
AddResult readPrivateKey(WireReader& in, std::unique_ptr<PrivateKey>& out);

// The other way: the key part of an add identity request, which
// readPrivateKey reads back. With withCertificate, a certificate key is
// written as one (its certificate blob in place of the public numbers).
Bytes encodePrivateKeyBody(const PrivateKey& key, bool withCertificate);

// The plain public blob (no certificate) of a key's numbers.
Bytes plainPublicBlob(const PublicKey& key);

// A type name this core knows, plain or certificate.
bool knownKeyType(const std::string& name);

// Fills the public numbers that follow from the private ones, for files
// that leave them out: Ed25519's point from its seed, an ECDSA point from
// its scalar, DSA's y from x and the group.
bool derivePublic(PrivateKey& key);

// New keys: Ed25519 (bits ignored), RSA of 1024 to 16384 bits (libgcrypt
// makes an odd size one bit larger), ECDSA on the smallest curve of at
// least bits (1 to 521). False for other sizes.
enum class KeyKind { Ed25519, Rsa, Ecdsa };
bool generateKey(KeyKind kind, unsigned bits, const std::string& comment, std::unique_ptr<PrivateKey>& out);

// Signs as the agent protocol asks: the result is the signature blob
// (string format name, string signature). The key's platform key signs
// when it can, libgcrypt otherwise.
bool signData(const PrivateKey& key, const std::uint8_t* data, std::size_t size, std::uint32_t flags, Bytes& sigBlob);
// The same by libgcrypt alone.
bool signWithLibgcrypt(const PrivateKey& key, const std::uint8_t* data, std::size_t size, std::uint32_t flags,
                       Bytes& sigBlob);

// Checks a signature blob made by the key of a plain public blob.
bool verifySignature(const PublicKey& key, const std::uint8_t* data, std::size_t size, const std::uint8_t* sig,
                     std::size_t sigSize);

// "type base64 comment" and a line feed, as in a ".pub" file.
std::string publicKeyLine(const PublicKey& key, const std::string& comment);

// RFC 4716: the begin and end lines, a Comment header, base64; no line
// longer than 72 bytes.
std::string rfc4716PublicKey(const PublicKey& key, const std::string& comment);

// "SHA256:" and the unpadded base64 of the blob's SHA-256, as ssh-keygen -l shows it.
std::string fingerprintSha256(const Bytes& blob);

// Must run once before any key work; safe to call from several threads.
void initCrypto();

}  // namespace agentcore

#endif
