#include "KeyFile.h"
#include "SystemRandom.h"

#include "Bcrypt.h"
#include "Encoding.h"
#include "KeyTypes.h"

#include <gcrypt.h>

#include <cstdio>
#include <cstring>

namespace agentcore {

namespace {

const char kOpenSshMagic[] = "openssh-key-v1";  // with its terminating zero
const char kOpenSshLabel[] = "OPENSSH PRIVATE KEY";

// ------------------------------------------------------------- ciphers

struct CipherSpec {
    const char* name;
    int algo;
    int mode;
    std::size_t keySize, ivSize, blockSize, tagSize;
};

const CipherSpec kChaChaPoly = {"chacha20-poly1305@openssh.com", GCRY_CIPHER_CHACHA20, GCRY_CIPHER_MODE_STREAM, 64, 0, 8, 16};

const CipherSpec kOpenSshCiphers[] = {
    {"aes128-ctr", GCRY_CIPHER_AES128, GCRY_CIPHER_MODE_CTR, 16, 16, 16, 0},
    {"aes192-ctr", GCRY_CIPHER_AES192, GCRY_CIPHER_MODE_CTR, 24, 16, 16, 0},
    {"aes256-ctr", GCRY_CIPHER_AES256, GCRY_CIPHER_MODE_CTR, 32, 16, 16, 0},
    {"aes128-cbc", GCRY_CIPHER_AES128, GCRY_CIPHER_MODE_CBC, 16, 16, 16, 0},
    {"aes192-cbc", GCRY_CIPHER_AES192, GCRY_CIPHER_MODE_CBC, 24, 16, 16, 0},
    {"aes256-cbc", GCRY_CIPHER_AES256, GCRY_CIPHER_MODE_CBC, 32, 16, 16, 0},
    {"aes128-gcm@openssh.com", GCRY_CIPHER_AES128, GCRY_CIPHER_MODE_GCM, 16, 12, 16, 16},
    {"aes256-gcm@openssh.com", GCRY_CIPHER_AES256, GCRY_CIPHER_MODE_GCM, 32, 12, 16, 16},
    {"3des-cbc", GCRY_CIPHER_3DES, GCRY_CIPHER_MODE_CBC, 24, 8, 8, 0},
    kChaChaPoly,
};

// The classic PEM encryption names its cipher in DEK-Info.
const CipherSpec kPemCiphers[] = {
    {"AES-128-CBC", GCRY_CIPHER_AES128, GCRY_CIPHER_MODE_CBC, 16, 16, 16, 0},
    {"AES-192-CBC", GCRY_CIPHER_AES192, GCRY_CIPHER_MODE_CBC, 24, 16, 16, 0},
    {"AES-256-CBC", GCRY_CIPHER_AES256, GCRY_CIPHER_MODE_CBC, 32, 16, 16, 0},
    {"DES-EDE3-CBC", GCRY_CIPHER_3DES, GCRY_CIPHER_MODE_CBC, 24, 8, 8, 0},
};

template <std::size_t N>
const CipherSpec* findCipher(const CipherSpec (&table)[N], const std::string& name) {
    for (const CipherSpec& c : table)
        if (name == c.name) return &c;
    return nullptr;
}

struct CipherHandle {
    gcry_cipher_hd_t h = nullptr;
    ~CipherHandle() { gcry_cipher_close(h); }
};
struct MacHandle {
    gcry_mac_hd_t h = nullptr;
    ~MacHandle() { gcry_mac_close(h); }
};

// OpenSSH's chacha20-poly1305 with sequence number 0 and no length header:
// the first key half, a zero nonce, the Poly1305 key from block 0 and the
// data from block 1 on.
bool decryptChaChaPoly(const std::uint8_t* key, const std::uint8_t* in, std::size_t n, const std::uint8_t* tag, Bytes& out) {
    static const std::uint8_t nonce[8] = {};
    CipherHandle c;
    MacHandle mac;
    std::uint8_t block0[64] = {};
    bool ok = gcry_cipher_open(&c.h, GCRY_CIPHER_CHACHA20, GCRY_CIPHER_MODE_STREAM, 0) == 0 &&
              gcry_cipher_setkey(c.h, key, 32) == 0 && gcry_cipher_setiv(c.h, nonce, sizeof nonce) == 0 &&
              gcry_cipher_encrypt(c.h, block0, sizeof block0, nullptr, 0) == 0 &&
              gcry_mac_open(&mac.h, GCRY_MAC_POLY1305, 0, nullptr) == 0 && gcry_mac_setkey(mac.h, block0, 32) == 0 &&
              gcry_mac_write(mac.h, in, n) == 0 && gcry_mac_verify(mac.h, tag, 16) == 0;
    wipeMemory(block0, sizeof block0);
    if (!ok) return false;
    out.assign(in, in + n);
    return gcry_cipher_decrypt(c.h, out.data(), out.size(), nullptr, 0) == 0;
}

// keyIv holds the key and then the IV. False: a tag that does not match,
// or a cipher libgcrypt refuses.
bool decrypt(const CipherSpec& cipher, const std::uint8_t* keyIv, const std::uint8_t* in, std::size_t n,
             const std::uint8_t* tag, Bytes& out) {
    if (cipher.algo == GCRY_CIPHER_CHACHA20) return decryptChaChaPoly(keyIv, in, n, tag, out);
    CipherHandle c;
    if (gcry_cipher_open(&c.h, cipher.algo, cipher.mode, 0) || gcry_cipher_setkey(c.h, keyIv, cipher.keySize)) return false;
    const std::uint8_t* iv = keyIv + cipher.keySize;
    if (cipher.mode == GCRY_CIPHER_MODE_CTR ? gcry_cipher_setctr(c.h, iv, cipher.ivSize) != 0
                                          : gcry_cipher_setiv(c.h, iv, cipher.ivSize) != 0)
        return false;
    out.assign(in, in + n);
    if (gcry_cipher_decrypt(c.h, out.data(), out.size(), nullptr, 0)) return false;
    return cipher.tagSize == 0 || gcry_cipher_checktag(c.h, tag, cipher.tagSize) == 0;
}

// CBC with PKCS#7 padding, as both PEM encryptions use it. False: the
// padding is wrong, which is what a wrong key gives.
bool decryptPadded(const CipherSpec& cipher, const Bytes& keyIv, const Bytes& in, Bytes& out) {
    if (in.empty() || in.size() % cipher.blockSize) return false;
    if (!decrypt(cipher, keyIv.data(), in.data(), in.size(), nullptr, out)) return false;
    std::size_t pad = out.back();
    if (pad == 0 || pad > cipher.blockSize) return false;
    for (std::size_t i = out.size() - pad; i < out.size(); ++i)
        if (out[i] != pad) return false;
    out.resize(out.size() - pad);
    return true;
}

// ------------------------------------------------------------- DER

enum : std::uint8_t {
    kInteger = 0x02, kBitString = 0x03, kOctetString = 0x04, kNull = 0x05, kOid = 0x06, kSequence = 0x30,
    kContext0 = 0xa0, kContext1 = 0xa1, kImplicit1 = 0x81
};

class Der {
public:
    Der() = default;
    Der(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    explicit Der(const Bytes& b) : p_(b.data()), n_(b.size()) {}

    bool peek(std::uint8_t tag) const { return ok_ && pos_ < n_ && p_[pos_] == tag; }
    bool atEnd() const { return ok_ && pos_ == n_; }

    bool next(std::uint8_t tag, const std::uint8_t*& content, std::size_t& size) {
        if (!peek(tag) || n_ - pos_ < 2) return fail();
        std::size_t pos = pos_ + 1, len = p_[pos++];
        if (len & 0x80) {
            std::size_t count = len & 0x7f;
            if (count == 0 || count > 4 || n_ - pos < count) return fail();
            len = 0;
            while (count--) len = (len << 8) | p_[pos++];
        }
        if (len > n_ - pos) return fail();
        content = p_ + pos, size = len;
        pos_ = pos + len;
        return true;
    }
    bool next(std::uint8_t tag, Der& inner) {
        const std::uint8_t* c;
        std::size_t n;
        if (!next(tag, c, n)) return false;
        inner = Der(c, n);
        return true;
    }
    bool bytes(std::uint8_t tag, Bytes& out) {
        const std::uint8_t* c;
        std::size_t n;
        if (!next(tag, c, n)) return false;
        out.assign(c, c + n);
        return true;
    }
    // A non-negative INTEGER as its unsigned magnitude.
    bool integer(Bytes& out) {
        const std::uint8_t* c;
        std::size_t n;
        if (!next(kInteger, c, n) || n == 0 || (c[0] & 0x80)) return fail();
        while (n > 0 && c[0] == 0) ++c, --n;
        out.assign(c, c + n);
        return true;
    }
    bool smallInteger(unsigned long& out) {
        Bytes m;
        if (!integer(m) || m.size() > 4) return fail();
        out = 0;
        for (std::uint8_t b : m) out = (out << 8) | b;
        return true;
    }

private:
    bool fail() {
        ok_ = false;
        return false;
    }
    const std::uint8_t* p_ = nullptr;
    std::size_t n_ = 0, pos_ = 0;
    bool ok_ = true;
};

// Object identifiers by their DER content bytes.
struct Oid {
    const char* bytes;
    std::size_t size;
};
#define OID(s) Oid{s, sizeof s - 1}
const Oid kRsaEncryption = OID("\x2a\x86\x48\x86\xf7\x0d\x01\x01\x01");
const Oid kEcPublicKey = OID("\x2a\x86\x48\xce\x3d\x02\x01");
const Oid kDsaOid = OID("\x2a\x86\x48\xce\x38\x04\x01");
const Oid kEd25519Oid = OID("\x2b\x65\x70");
const Oid kPbes2 = OID("\x2a\x86\x48\x86\xf7\x0d\x01\x05\x0d");
const Oid kPbkdf2 = OID("\x2a\x86\x48\x86\xf7\x0d\x01\x05\x0c");
const Oid kHmacSha1 = OID("\x2a\x86\x48\x86\xf7\x0d\x02\x07");
const Oid kHmacSha256 = OID("\x2a\x86\x48\x86\xf7\x0d\x02\x09");
#undef OID

bool isOid(const Bytes& value, const Oid& oid) {
    return value.size() == oid.size && std::memcmp(value.data(), oid.bytes, oid.size) == 0;
}

struct NamedCurve {
    Oid oid;
    KeyAlgorithm algorithm;
    std::size_t fieldBytes;
};
const NamedCurve kNamedCurves[] = {
    {{"\x2a\x86\x48\xce\x3d\x03\x01\x07", 8}, KeyAlgorithm::EcdsaP256, 32},
    {{"\x2b\x81\x04\x00\x22", 5}, KeyAlgorithm::EcdsaP384, 48},
    {{"\x2b\x81\x04\x00\x23", 5}, KeyAlgorithm::EcdsaP521, 66},
};

struct Pbes2Cipher {
    Oid oid;
    CipherSpec cipher;
};
const Pbes2Cipher kPbes2Ciphers[] = {
    {{"\x60\x86\x48\x01\x65\x03\x04\x01\x02", 9}, kPemCiphers[0]},
    {{"\x60\x86\x48\x01\x65\x03\x04\x01\x16", 9}, kPemCiphers[1]},
    {{"\x60\x86\x48\x01\x65\x03\x04\x01\x2a", 9}, kPemCiphers[2]},
    {{"\x2a\x86\x48\x86\xf7\x0d\x03\x07", 8}, kPemCiphers[3]},
};

// ------------------------------------------------------------- keys from DER

// What a parser says: Ok, Unsupported (a form or algorithm not taken
// here) or Corrupt.
using Parse = KeyFileResult;

// PKCS#1 RSAPrivateKey. Its coefficient is q^-1 mod p, OpenSSH's iqmp.
Parse parseRsa(Der seq, PrivateKey& k) {
    unsigned long version;
    Bytes dp, dq;
    if (!seq.smallInteger(version)) return Parse::Corrupt;
    if (version != 0) return Parse::Unsupported;  // several primes
    k.pub.algorithm = KeyAlgorithm::Rsa;
    if (!seq.integer(k.pub.rsaN) || !seq.integer(k.pub.rsaE) || !seq.integer(k.rsaD) || !seq.integer(k.rsaP) ||
        !seq.integer(k.rsaQ) || !seq.integer(dp) || !seq.integer(dq) || !seq.integer(k.rsaIqmp) || !seq.atEnd())
        return Parse::Corrupt;
    return Parse::Ok;
}

// SEC 1 ECPrivateKey; the curve from the key or, in PKCS#8, from outside.
Parse parseEc(Der seq, const Bytes* outerCurve, PrivateKey& k) {
    unsigned long version;
    Bytes d, curveOid;
    if (!seq.smallInteger(version) || version != 1 || !seq.bytes(kOctetString, d)) return Parse::Corrupt;
    if (seq.peek(kContext0)) {
        Der params;
        if (!seq.next(kContext0, params) || !params.bytes(kOid, curveOid) || !params.atEnd()) return Parse::Corrupt;
        if (outerCurve && *outerCurve != curveOid) return Parse::Corrupt;
    } else if (outerCurve) {
        curveOid = *outerCurve;
    } else {
        return Parse::Corrupt;
    }
    const NamedCurve* curve = nullptr;
    for (const NamedCurve& c : kNamedCurves)
        if (isOid(curveOid, c.oid)) curve = &c;
    if (!curve) return Parse::Unsupported;
    k.pub.algorithm = curve->algorithm;
    std::size_t lead = 0;
    while (lead < d.size() && d[lead] == 0) ++lead;
    k.ecD.assign(d.begin() + std::ptrdiff_t(lead), d.end());
    wipe(d);
    if (k.ecD.empty() || k.ecD.size() > curve->fieldBytes) return Parse::Corrupt;
    if (seq.peek(kContext1)) {
        Der wrapped;
        const std::uint8_t* bits;
        std::size_t n;
        if (!seq.next(kContext1, wrapped) || !wrapped.next(kBitString, bits, n) || n < 1 || bits[0] != 0)
            return Parse::Corrupt;
        k.pub.ecPoint.assign(bits + 1, bits + n);
    } else if (!derivePublic(k)) {
        return Parse::Corrupt;
    }
    return seq.atEnd() ? Parse::Ok : Parse::Corrupt;
}

// OpenSSL's DSA form: version, p, q, g, y, x.
Parse parseDsa(Der seq, PrivateKey& k) {
    unsigned long version;
    k.pub.algorithm = KeyAlgorithm::Dsa;
    if (!seq.smallInteger(version) || version != 0 || !seq.integer(k.pub.dsaP) || !seq.integer(k.pub.dsaQ) ||
        !seq.integer(k.pub.dsaG) || !seq.integer(k.pub.dsaY) || !seq.integer(k.dsaX) || !seq.atEnd())
        return Parse::Corrupt;
    return Parse::Ok;
}

Parse parseTraditional(const std::string& label, const Bytes& der, PrivateKey& k) {
    Der outer(der), seq;
    if (!outer.next(kSequence, seq) || !outer.atEnd()) return Parse::Corrupt;
    if (label == "RSA PRIVATE KEY") return parseRsa(seq, k);
    if (label == "EC PRIVATE KEY") return parseEc(seq, nullptr, k);
    return parseDsa(seq, k);
}

// PKCS#8 PrivateKeyInfo (and its version 2, which may carry the public key).
Parse parsePkcs8(const Bytes& der, PrivateKey& k) {
    Der outer(der), info, alg, inner;
    unsigned long version;
    Bytes oid, priv;
    if (!outer.next(kSequence, info) || !outer.atEnd() || !info.smallInteger(version) || version > 1 ||
        !info.next(kSequence, alg) || !alg.bytes(kOid, oid) || !info.bytes(kOctetString, priv))
        return Parse::Corrupt;
    Parse result;
    inner = Der(priv);
    if (isOid(oid, kRsaEncryption)) {
        Der seq;
        if (alg.peek(kNull)) alg.bytes(kNull, oid);
        result = alg.atEnd() && inner.next(kSequence, seq) && inner.atEnd() ? parseRsa(seq, k) : Parse::Corrupt;
    } else if (isOid(oid, kEcPublicKey)) {
        Bytes curve;
        Der seq;
        if (!alg.bytes(kOid, curve) || !alg.atEnd() || !inner.next(kSequence, seq) || !inner.atEnd()) return Parse::Corrupt;
        result = parseEc(seq, &curve, k);
    } else if (isOid(oid, kDsaOid)) {
        Der params;
        k.pub.algorithm = KeyAlgorithm::Dsa;
        if (!alg.next(kSequence, params) || !params.integer(k.pub.dsaP) || !params.integer(k.pub.dsaQ) ||
            !params.integer(k.pub.dsaG) || !params.atEnd() || !inner.integer(k.dsaX) || !inner.atEnd() ||
            !derivePublic(k))
            return Parse::Corrupt;
        result = Parse::Ok;
    } else if (isOid(oid, kEd25519Oid)) {
        k.pub.algorithm = KeyAlgorithm::Ed25519;
        if (!alg.atEnd() || !inner.bytes(kOctetString, k.ed25519Seed) || !inner.atEnd() || k.ed25519Seed.size() != 32 ||
            !derivePublic(k))
            return Parse::Corrupt;
        result = Parse::Ok;
    } else {
        return Parse::Unsupported;
    }
    wipe(priv);
    // Attributes and the public key may follow; the key itself decides.
    if (info.peek(kContext0)) info.bytes(kContext0, oid);
    if (info.peek(kImplicit1)) info.bytes(kImplicit1, oid);
    return result == Parse::Ok && !info.atEnd() ? Parse::Corrupt : result;
}

// ------------------------------------------------------------- results

// Every file ends in the core's own reader, so that a key from any format
// meets the same checks as one sent by a client.
KeyFileResult finish(const Bytes& body, std::unique_ptr<PrivateKey>& out) {
    WireReader r(body);
    switch (readPrivateKey(r, out)) {
    case AddResult::Ok:
        if (r.atEnd()) return KeyFileResult::Ok;
        out.reset();
        return KeyFileResult::Corrupt;
    case AddResult::Refused: return KeyFileResult::Unsupported;
    default: return KeyFileResult::Corrupt;
    }
}

KeyFileResult finish(const PrivateKey& parsed, std::unique_ptr<PrivateKey>& out) {
    return finish(encodePrivateKeyBody(parsed, false), out);
}

// A decryption without an integrity check cannot tell a wrong passphrase
// from damage once the padding passes; the passphrase is the likely cause.
KeyFileResult afterDecryption(Parse parsed, bool encrypted) {
    return parsed == Parse::Corrupt && encrypted ? KeyFileResult::WrongPassphrase : parsed;
}

// ------------------------------------------------------------- OpenSSH format

KeyFileResult readOpenSsh(const Bytes& body, const char* passphrase, std::unique_ptr<PrivateKey>& out,
                          const KeyFileLimits& limits) {
    if (body.size() < sizeof kOpenSshMagic || std::memcmp(body.data(), kOpenSshMagic, sizeof kOpenSshMagic) != 0)
        return KeyFileResult::Corrupt;
    WireReader r(body.data() + sizeof kOpenSshMagic, body.size() - sizeof kOpenSshMagic);
    std::string cipherName, kdfName, pubType;
    const std::uint8_t *kdfOptions, *pubBlob, *encrypted;
    std::size_t kdfOptionsSize, pubSize, encryptedSize;
    std::uint32_t keyCount;
    if (!r.text(cipherName) || !r.text(kdfName) || !r.stringView(kdfOptions, kdfOptionsSize) || !r.u32(keyCount))
        return KeyFileResult::Corrupt;
    if (keyCount != 1) return KeyFileResult::Unsupported;
    if (!r.stringView(pubBlob, pubSize) || !r.stringView(encrypted, encryptedSize)) return KeyFileResult::Corrupt;

    const CipherSpec* cipher = nullptr;
    std::size_t blockSize = 8;
    if (cipherName != "none") {
        cipher = findCipher(kOpenSshCiphers, cipherName);
        if (!cipher || kdfName != "bcrypt") return KeyFileResult::Unsupported;
        blockSize = cipher->blockSize;
    } else if (kdfName != "none" || kdfOptionsSize != 0) {
        return KeyFileResult::Corrupt;
    }
    // An AEAD cipher's tag follows the encrypted section, and nothing else may.
    std::size_t tagSize = cipher ? cipher->tagSize : 0;
    if (r.remaining() != tagSize) return KeyFileResult::Corrupt;
    const std::uint8_t* tag = encrypted + encryptedSize;

    WireReader pubReader(pubBlob, pubSize);
    PublicKey pub;
    if (!pubReader.text(pubType)) return KeyFileResult::Corrupt;
    if (!knownKeyType(pubType)) return KeyFileResult::Unsupported;
    if (!detail::readPublicBlob(pubBlob, pubSize, pub)) return KeyFileResult::Corrupt;
    if (!detail::publicNumbersBounded(pub)) return KeyFileResult::Unsupported;
    if (encryptedSize == 0 || encryptedSize % blockSize) return KeyFileResult::Corrupt;

    Bytes plain;
    if (cipher) {
        if (!passphrase) return KeyFileResult::NeedsPassphrase;
        WireReader options(kdfOptions, kdfOptionsSize);
        const std::uint8_t* salt;
        std::size_t saltSize;
        std::uint32_t rounds;
        if (!options.stringView(salt, saltSize) || !options.u32(rounds) || !options.atEnd() || saltSize == 0 || rounds == 0)
            return KeyFileResult::Corrupt;
        if (rounds > limits.maxBcryptRounds) return KeyFileResult::Unsupported;
        Bytes keyIv(cipher->keySize + cipher->ivSize);
        std::size_t passSize = std::strlen(passphrase);
        if (!bcryptPbkdf(reinterpret_cast<const std::uint8_t*>(passphrase), passSize, salt, saltSize, rounds,
                         keyIv.data(), keyIv.size()))
            return KeyFileResult::WrongPassphrase;  // only the empty passphrase gets here
        if (!decrypt(*cipher, keyIv.data(), encrypted, encryptedSize, tag, plain)) return KeyFileResult::WrongPassphrase;
    } else {
        plain.assign(encrypted, encrypted + encryptedSize);
    }

    WireReader section(plain);
    std::uint32_t check1, check2;
    if (!section.u32(check1) || !section.u32(check2)) return KeyFileResult::Corrupt;
    if (check1 != check2) return cipher ? KeyFileResult::WrongPassphrase : KeyFileResult::Corrupt;
    std::unique_ptr<PrivateKey> key;
    switch (readPrivateKey(section, key)) {
    case AddResult::Ok: break;
    case AddResult::Refused: return KeyFileResult::Unsupported;
    default: return KeyFileResult::Corrupt;
    }
    // The key ends with its comment; what follows is the padding 1, 2, 3...
    for (std::uint8_t i = 1; section.remaining(); ++i) {
        std::uint8_t pad;
        if (!section.u8(pad) || pad != i) return KeyFileResult::Corrupt;
    }
    if (key->pub.blob != Bytes(pubBlob, pubBlob + pubSize)) return KeyFileResult::Corrupt;
    out = std::move(key);
    return KeyFileResult::Ok;
}

// ------------------------------------------------------------- PEM formats

// OpenSSL's EVP_BytesToKey with MD5 and one round: the key of the classic
// PEM encryption, salted with the IV's first eight bytes.
Bytes pemKey(const char* passphrase, const Bytes& iv, std::size_t keySize) {
    Bytes key, block, digest(16);
    while (key.size() < keySize) {
        block = digest.size() && !key.empty() ? digest : Bytes();
        block.insert(block.end(), passphrase, passphrase + std::strlen(passphrase));
        block.insert(block.end(), iv.begin(), iv.begin() + 8);
        gcry_md_hash_buffer(GCRY_MD_MD5, digest.data(), block.data(), block.size());
        key.insert(key.end(), digest.begin(), digest.end());
    }
    key.resize(keySize);
    key.insert(key.end(), iv.begin(), iv.end());
    wipe(block), wipe(digest);
    return key;
}

KeyFileResult readTraditional(const std::string& label, const Armor& armor, const char* passphrase,
                              std::unique_ptr<PrivateKey>& out) {
    const std::string* procType = armor.header("Proc-Type");
    Bytes der;
    bool encrypted = procType != nullptr;
    if (encrypted) {
        const std::string* dekInfo = armor.header("DEK-Info");
        if (*procType != "4,ENCRYPTED" || !dekInfo) return KeyFileResult::Corrupt;
        std::size_t comma = dekInfo->find(',');
        if (comma == std::string::npos) return KeyFileResult::Corrupt;
        const CipherSpec* cipher = findCipher(kPemCiphers, dekInfo->substr(0, comma));
        if (!cipher) return KeyFileResult::Unsupported;
        Bytes iv;
        if (!hexDecode(dekInfo->substr(comma + 1), iv) || iv.size() != cipher->ivSize) return KeyFileResult::Corrupt;
        if (!passphrase) return KeyFileResult::NeedsPassphrase;
        if (!decryptPadded(*cipher, pemKey(passphrase, iv, cipher->keySize), armor.body, der))
            return KeyFileResult::WrongPassphrase;
    } else {
        der = armor.body;
    }
    PrivateKey parsed;
    Parse p = parseTraditional(label, der, parsed);
    if (p != Parse::Ok) return afterDecryption(p, encrypted);
    return finish(parsed, out);
}

// PBES2 with PBKDF2 (HMAC-SHA1 or -SHA256) and a CBC cipher.
KeyFileResult readEncryptedPkcs8(const Bytes& der, const char* passphrase, std::unique_ptr<PrivateKey>& out,
                                 const KeyFileLimits& limits) {
    Der outer(der), info, alg, params, kdf, kdfParams, scheme;
    Bytes oid, salt, iv, data, cipherOid;
    if (!outer.next(kSequence, info) || !outer.atEnd() || !info.next(kSequence, alg) || !alg.bytes(kOid, oid))
        return KeyFileResult::Corrupt;
    if (!isOid(oid, kPbes2)) return KeyFileResult::Unsupported;
    if (!alg.next(kSequence, params) || !alg.atEnd() || !info.bytes(kOctetString, data) || !info.atEnd() ||
        !params.next(kSequence, kdf) || !params.next(kSequence, scheme) || !params.atEnd() || !kdf.bytes(kOid, oid))
        return KeyFileResult::Corrupt;
    if (!isOid(oid, kPbkdf2)) return KeyFileResult::Unsupported;
    unsigned long iterations, keyLength = 0;
    int prf = GCRY_MD_SHA1;
    if (!kdf.next(kSequence, kdfParams) || !kdf.atEnd() || !kdfParams.bytes(kOctetString, salt) ||
        !kdfParams.smallInteger(iterations) || iterations == 0)
        return KeyFileResult::Corrupt;
    if (kdfParams.peek(kInteger) && !kdfParams.smallInteger(keyLength)) return KeyFileResult::Corrupt;
    if (kdfParams.peek(kSequence)) {
        Der prfAlg;
        Bytes prfOid, null;
        if (!kdfParams.next(kSequence, prfAlg) || !prfAlg.bytes(kOid, prfOid)) return KeyFileResult::Corrupt;
        if (prfAlg.peek(kNull)) prfAlg.bytes(kNull, null);
        if (!prfAlg.atEnd()) return KeyFileResult::Corrupt;
        if (isOid(prfOid, kHmacSha256)) prf = GCRY_MD_SHA256;
        else if (!isOid(prfOid, kHmacSha1)) return KeyFileResult::Unsupported;
    }
    if (!kdfParams.atEnd() || !scheme.bytes(kOid, cipherOid)) return KeyFileResult::Corrupt;
    const CipherSpec* cipher = nullptr;
    for (const Pbes2Cipher& c : kPbes2Ciphers)
        if (isOid(cipherOid, c.oid)) cipher = &c.cipher;
    if (!cipher) return KeyFileResult::Unsupported;
    if (!scheme.bytes(kOctetString, iv) || !scheme.atEnd() || iv.size() != cipher->ivSize ||
        (keyLength && keyLength != cipher->keySize))
        return KeyFileResult::Corrupt;
    if (iterations > limits.maxPbkdf2Iterations) return KeyFileResult::Unsupported;
    if (!passphrase) return KeyFileResult::NeedsPassphrase;

    Bytes keyIv(cipher->keySize), plain;
    if (gcry_kdf_derive(passphrase, std::strlen(passphrase), GCRY_KDF_PBKDF2, prf, salt.data(), salt.size(), iterations,
                        keyIv.size(), keyIv.data()))
        return KeyFileResult::WrongPassphrase;  // libgcrypt refuses an empty passphrase
    keyIv.insert(keyIv.end(), iv.begin(), iv.end());
    if (!decryptPadded(*cipher, keyIv, data, plain)) return KeyFileResult::WrongPassphrase;
    PrivateKey parsed;
    Parse p = parsePkcs8(plain, parsed);
    if (p != Parse::Ok) return afterDecryption(p, true);
    return finish(parsed, out);
}


}  // namespace

KeyFileResult readPrivateKeyFile(const Bytes& contents, const char* passphrase, std::unique_ptr<PrivateKey>& out,
                                 const KeyFileLimits& limits) {
    out.reset();
    std::string_view text(reinterpret_cast<const char*>(contents.data()), contents.size());
    Armor armor;
    switch (findArmor(text, kOpenSshLabel, armor)) {
    case ArmorResult::Found: return readOpenSsh(armor.body, passphrase, out, limits);
    case ArmorResult::Malformed: return KeyFileResult::Corrupt;
    case ArmorResult::Absent: break;
    }
    static const char* const traditional[] = {"RSA PRIVATE KEY", "EC PRIVATE KEY", "DSA PRIVATE KEY"};
    for (const char* label : traditional) {
        switch (findArmor(text, label, armor)) {
        case ArmorResult::Found: return readTraditional(label, armor, passphrase, out);
        case ArmorResult::Malformed: return KeyFileResult::Corrupt;
        case ArmorResult::Absent: break;
        }
    }
    switch (findArmor(text, "PRIVATE KEY", armor)) {
    case ArmorResult::Found: {
        PrivateKey parsed;
        Parse p = parsePkcs8(armor.body, parsed);
        return p == Parse::Ok ? finish(parsed, out) : p;
    }
    case ArmorResult::Malformed: return KeyFileResult::Corrupt;
    case ArmorResult::Absent: break;
    }
    switch (findArmor(text, "ENCRYPTED PRIVATE KEY", armor)) {
    case ArmorResult::Found: return readEncryptedPkcs8(armor.body, passphrase, out, limits);
    case ArmorResult::Malformed: return KeyFileResult::Corrupt;
    case ArmorResult::Absent: break;
    }
    return KeyFileResult::NotKeyFile;
}

bool certifiedKey(const PrivateKey& key, const Bytes& certificateFile, std::unique_ptr<PrivateKey>& out) {
    std::string_view text(reinterpret_cast<const char*>(certificateFile.data()), certificateFile.size());
    std::size_t typeStart = text.find_first_not_of(" \t\r\n");
    if (typeStart == std::string_view::npos) return false;
    std::size_t typeEnd = text.find_first_of(" \t", typeStart);
    if (typeEnd == std::string_view::npos) return false;
    std::size_t b64Start = text.find_first_not_of(" \t", typeEnd);
    if (b64Start == std::string_view::npos) return false;
    std::size_t b64End = text.find_first_of(" \t\r\n", b64Start);
    if (b64End == std::string_view::npos) b64End = text.size();
    Bytes blob;
    PublicKey cert;
    if (!base64Decode(text.data() + b64Start, b64End - b64Start, blob) || !parsePublicKey(blob.data(), blob.size(), cert))
        return false;
    if (!cert.certificate || text.substr(typeStart, typeEnd - typeStart) != cert.typeName ||
        cert.algorithm != key.pub.algorithm || plainPublicBlob(cert) != plainPublicBlob(key.pub))
        return false;
    out.reset(new PrivateKey(key));
    out->pub = cert;
    return true;
}

bool readFileContents(const std::string& path, Bytes& out, std::size_t maxSize) {
    out.clear();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out.reserve(maxSize < 65536 ? maxSize : 65536);
    std::uint8_t chunk[4096];
    std::size_t n;
    bool ok = true;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        if (out.size() + n > maxSize) {
            ok = false;
            break;
        }
        out.insert(out.end(), chunk, chunk + n);
    }
    ok = ok && !std::ferror(f);
    std::fclose(f);
    wipeMemory(chunk, sizeof chunk);
    if (!ok) wipe(out);
    return ok;
}


Bytes openSshPrivateKeyFile(const PrivateKey& key) {
    WireWriter section;
    // From the system's generator: libgcrypt's would gather entropy first,
    // which on Windows makes the first key file take a second or more.
    std::uint32_t check = 0;
    if (!systemRandom(reinterpret_cast<std::uint8_t*>(&check), sizeof check)) gcry_create_nonce(&check, sizeof check);
    section.u32(check);
    section.u32(check);
    section.raw(encodePrivateKeyBody(key, false));
    for (std::uint8_t i = 1; section.bytes().size() % 8; ++i) section.u8(i);
    WireWriter w;
    w.raw(reinterpret_cast<const std::uint8_t*>(kOpenSshMagic), sizeof kOpenSshMagic);
    w.string(std::string("none"));
    w.string(std::string("none"));
    w.string(std::string());
    w.u32(1);
    w.string(plainPublicBlob(key.pub));
    w.string(section.bytes());
    return armor(kOpenSshLabel, w.bytes(), 70);
}

}  // namespace agentcore
