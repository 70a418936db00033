#include "PlatformSigner.h"
#include "KeyTypes.h"

#include <gcrypt.h>

namespace agentcore {

using namespace detail;

namespace {

int gcryAlgorithm(SignatureHash hash) {
    switch (hash) {
    case SignatureHash::Sha1:
        return GCRY_MD_SHA1;
    case SignatureHash::Sha256:
        return GCRY_MD_SHA256;
    case SignatureHash::Sha384:
        return GCRY_MD_SHA384;
    default:
        return GCRY_MD_SHA512;
    }
}

const char* rsaFormat(SignatureHash hash) {
    switch (hash) {
    case SignatureHash::Sha256:
        return "rsa-sha2-256";
    case SignatureHash::Sha512:
        return "rsa-sha2-512";
    default:
        return "ssh-rsa";
    }
}

bool rsaBlob(const PublicKey& key, SignatureHash hash, const std::uint8_t* s, std::size_t size, WireWriter& w) {
    // RFC 8332: the signature is as long as the modulus.
    std::size_t width = (bitLength(key.rsaN) + 7) / 8;
    if (size > width || hash == SignatureHash::Sha384) return false;
    Bytes padded(width - size, 0);
    padded.insert(padded.end(), s, s + size);
    w.string(std::string(rsaFormat(hash)));
    w.string(padded);
    return true;
}

bool ecdsaBlob(const PublicKey& key, const std::uint8_t* rs, std::size_t size, WireWriter& w) {
    const Curve* c = curveOf(key.algorithm);
    if (!c || size != 2 * c->fieldBytes) return false;
    WireWriter inner;
    inner.mpint(rs, c->fieldBytes);
    inner.mpint(rs + c->fieldBytes, c->fieldBytes);
    w.string(std::string(c->typeName));
    w.string(inner.bytes());
    return true;
}

}  // namespace

SignatureHash signatureHash(const PublicKey& key, std::uint32_t flags) {
    switch (key.algorithm) {
    case KeyAlgorithm::Rsa:
        if (flags & SIGN_FLAG_RSA_SHA2_256) return SignatureHash::Sha256;
        if (flags & SIGN_FLAG_RSA_SHA2_512) return SignatureHash::Sha512;
        return SignatureHash::Sha1;
    case KeyAlgorithm::EcdsaP256:
        return SignatureHash::Sha256;
    case KeyAlgorithm::EcdsaP384:
        return SignatureHash::Sha384;
    case KeyAlgorithm::Dsa:
        return SignatureHash::Sha1;
    default:
        return SignatureHash::Sha512;
    }
}

Bytes digestOf(SignatureHash hash, const std::uint8_t* data, std::size_t size) {
    int algo = gcryAlgorithm(hash);
    Bytes out(gcry_md_get_algo_dlen(algo));
    gcry_md_hash_buffer(algo, out.data(), data, size);
    return out;
}

const char* hashName(SignatureHash hash) {
    switch (hash) {
    case SignatureHash::Sha1:
        return "sha1";
    case SignatureHash::Sha256:
        return "sha256";
    case SignatureHash::Sha384:
        return "sha384";
    default:
        return "sha512";
    }
}

bool signatureBlob(const PublicKey& key, SignatureHash hash, const std::uint8_t* raw, std::size_t rawSize,
                   Bytes& sigBlob) {
    WireWriter w;
    bool made = key.algorithm == KeyAlgorithm::Rsa ? rsaBlob(key, hash, raw, rawSize, w) : ecdsaBlob(key, raw, rawSize, w);
    if (made) sigBlob = w.take();
    return made;
}

std::shared_ptr<const PlatformKey> importChecked(const PlatformSigner& signer, const PrivateKey& key) {
    std::unique_ptr<PlatformKey> platform = signer.import(key);
    if (!platform) return nullptr;
    static const std::uint8_t probe[] = "platform key check";
    Bytes sig;
    if (!platform->sign(probe, sizeof probe, SIGN_FLAG_RSA_SHA2_512, sig) ||
        !verifySignature(key.pub, probe, sizeof probe, sig.data(), sig.size()))
        return nullptr;
    return std::shared_ptr<const PlatformKey>(std::move(platform));
}

}  // namespace agentcore
