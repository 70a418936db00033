// The public half of keys: type names, blobs and their text forms. No
// libgcrypt calls here, so that a client of the agent (its library) can
// name and show keys without carrying the crypto library.
#include "Key.h"
#include "KeyTypes.h"
#include "Encoding.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstring>

namespace agentcore {

namespace detail {

const Curve kCurves[3] = {
    {KeyAlgorithm::EcdsaP256, kP256, "nistp256", "NIST P-256", "sha256", GCRY_MD_SHA256, 32},
    {KeyAlgorithm::EcdsaP384, kP384, "nistp384", "NIST P-384", "sha384", GCRY_MD_SHA384, 48},
    {KeyAlgorithm::EcdsaP521, kP521, "nistp521", "NIST P-521", "sha512", GCRY_MD_SHA512, 66},
};

const Curve* curveOf(KeyAlgorithm a) {
    for (const Curve& c : kCurves)
        if (c.algorithm == a) return &c;
    return nullptr;
}

bool typeFromName(const std::string& name, KeyAlgorithm& a, bool& cert) {
    std::string base = name;
    cert = false;
    std::size_t sl = std::strlen(kCertSuffix);
    if (name.size() > sl && name.compare(name.size() - sl, sl, kCertSuffix) == 0) {
        base = name.substr(0, name.size() - sl);
        cert = true;
    }
    if (base == kEd25519) a = KeyAlgorithm::Ed25519;
    else if (base == kRsa) a = KeyAlgorithm::Rsa;
    else if (base == kDsa) a = KeyAlgorithm::Dsa;
    else if (base == kP256) a = KeyAlgorithm::EcdsaP256;
    else if (base == kP384) a = KeyAlgorithm::EcdsaP384;
    else if (base == kP521) a = KeyAlgorithm::EcdsaP521;
    else return false;
    return true;
}

namespace {

std::size_t leadingZeros(const Bytes& magnitude) {
    std::size_t i = 0;
    while (i < magnitude.size() && magnitude[i] == 0) ++i;
    return i;
}

}  // namespace

unsigned bitLength(const Bytes& magnitude) {
    std::size_t lead = leadingZeros(magnitude);
    if (lead == magnitude.size()) return 0;
    unsigned bits = unsigned(magnitude.size() - lead) * 8;
    for (std::uint8_t top = magnitude[lead]; !(top & 0x80); top = std::uint8_t(top << 1)) --bits;
    return bits;
}

bool below(const Bytes& a, const Bytes& b) {
    std::size_t la = leadingZeros(a), lb = leadingZeros(b);
    if (a.size() - la != b.size() - lb) return a.size() - la < b.size() - lb;
    return std::lexicographical_compare(a.begin() + std::ptrdiff_t(la), a.end(), b.begin() + std::ptrdiff_t(lb), b.end());
}

bool readU64(WireReader& r) {
    std::uint32_t hi, lo;
    return r.u32(hi) && r.u32(lo);
}

bool readPublicFields(WireReader& r, PublicKey& k) {
    switch (k.algorithm) {
    case KeyAlgorithm::Ed25519:
        return r.string(k.ed25519) && k.ed25519.size() == 32;
    case KeyAlgorithm::Rsa:
        return r.mpintUnsigned(k.rsaE) && r.mpintUnsigned(k.rsaN) && !k.rsaE.empty() && !k.rsaN.empty();
    case KeyAlgorithm::Dsa:
        return r.mpintUnsigned(k.dsaP) && r.mpintUnsigned(k.dsaQ) && r.mpintUnsigned(k.dsaG) && r.mpintUnsigned(k.dsaY) &&
               !k.dsaP.empty() && !k.dsaQ.empty() && !k.dsaG.empty() && !k.dsaY.empty();
    default: {
        const Curve* c = curveOf(k.algorithm);
        std::string curveName;
        if (!r.text(curveName) || curveName != c->sshName) return false;
        return r.string(k.ecPoint) && k.ecPoint.size() == 1 + 2 * c->fieldBytes && k.ecPoint[0] == 0x04;
    }
    }
}

bool dsaGroupBounded(const PublicKey& k) {
    return bitLength(k.dsaP) == kDsaPBits && bitLength(k.dsaQ) == kDsaQBits && bitLength(k.dsaG) > 0 &&
           below(k.dsaG, k.dsaP);
}

bool publicNumbersBounded(const PublicKey& k) {
    switch (k.algorithm) {
    case KeyAlgorithm::Rsa: {
        unsigned e = bitLength(k.rsaE);
        return bitLength(k.rsaN) <= kMaxNumberBits && e >= 2 && e <= kMaxRsaExponentBits && (k.rsaE.back() & 1);
    }
    case KeyAlgorithm::Dsa:
        return dsaGroupBounded(k) && bitLength(k.dsaY) > 0 && below(k.dsaY, k.dsaP);
    default:
        // Ed25519 and the curves were read at their exact sizes.
        return true;
    }
}

void writePublicFields(const PublicKey& k, WireWriter& w) {
    switch (k.algorithm) {
    case KeyAlgorithm::Ed25519: w.string(k.ed25519); break;
    case KeyAlgorithm::Rsa: w.mpint(k.rsaE); w.mpint(k.rsaN); break;
    case KeyAlgorithm::Dsa: w.mpint(k.dsaP); w.mpint(k.dsaQ); w.mpint(k.dsaG); w.mpint(k.dsaY); break;
    default:
        w.string(std::string(curveOf(k.algorithm)->sshName));
        w.string(k.ecPoint);
    }
}

}  // namespace detail

using namespace detail;

namespace {

// Control characters would end a line of a public key file early.
std::string oneLine(const std::string& comment) {
    std::string out = comment;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return out;
}

}  // namespace

const char* baseTypeName(KeyAlgorithm a) {
    switch (a) {
    case KeyAlgorithm::Ed25519: return kEd25519;
    case KeyAlgorithm::Rsa: return kRsa;
    case KeyAlgorithm::Dsa: return kDsa;
    default: return curveOf(a)->typeName;
    }
}

unsigned PublicKey::bits() const {
    switch (algorithm) {
    case KeyAlgorithm::Ed25519: return 256;
    case KeyAlgorithm::Rsa: return bitLength(rsaN);
    case KeyAlgorithm::Dsa: return bitLength(dsaP);
    case KeyAlgorithm::EcdsaP256: return 256;
    case KeyAlgorithm::EcdsaP384: return 384;
    case KeyAlgorithm::EcdsaP521: return 521;
    }
    return 0;
}

namespace {

const char* const kSkEd25519 = "sk-ssh-ed25519@openssh.com";
const char* const kSkP256 = "sk-ecdsa-sha2-nistp256@openssh.com";

// A certificate authority may be a security key: its point at the exact
// size, then the application it was made for.
bool readSecurityKeyFields(const std::string& name, WireReader& r) {
    const std::uint8_t* p;
    std::size_t n;
    if (name == kSkEd25519) {
        if (!r.stringView(p, n) || n != 32) return false;
    } else if (name == kSkP256) {
        std::string curve;
        if (!r.text(curve) || curve != "nistp256" || !r.stringView(p, n) || n != 65 || p[0] != 0x04) return false;
    } else {
        return false;
    }
    return r.stringView(p, n);
}

// The key that signed a certificate: a plain key of a type known here,
// within the same bounds as any other, or a security key. Never itself a
// certificate, so that no blob nests another.
bool signerSound(const std::uint8_t* data, std::size_t size) {
    WireReader r(data, size);
    std::string name;
    KeyAlgorithm algorithm;
    bool certificate;
    if (!r.text(name)) return false;
    if (!typeFromName(name, algorithm, certificate)) return readSecurityKeyFields(name, r) && r.atEnd();
    PublicKey signer;
    return !certificate && parsePublicKey(data, size, signer);
}

}  // namespace

bool parsePublicKey(const std::uint8_t* data, std::size_t size, PublicKey& out) {
    return readPublicBlob(data, size, out) && publicNumbersBounded(out);
}

bool detail::readPublicBlob(const std::uint8_t* data, std::size_t size, PublicKey& out) {
    WireReader r(data, size);
    std::string name;
    if (!r.text(name)) return false;
    if (!typeFromName(name, out.algorithm, out.certificate)) return false;
    out.typeName = name;
    if (out.certificate) {
        // nonce, the key, serial, type, key id, principals, validity,
        // critical options, extensions, reserved, signature key, signature.
        const std::uint8_t *field, *signer;
        std::size_t n, signerSize;
        std::uint32_t certType;
        if (!r.stringView(field, n) || !readPublicFields(r, out) || !readU64(r) || !r.u32(certType) ||
            !r.stringView(field, n) || !r.stringView(field, n) || !readU64(r) || !readU64(r) || !r.stringView(field, n) ||
            !r.stringView(field, n) || !r.stringView(field, n) || !r.stringView(signer, signerSize) ||
            !r.stringView(field, n))
            return false;
        if ((certType != 1 && certType != 2) || !signerSound(signer, signerSize)) return false;
    } else if (!readPublicFields(r, out)) {
        return false;
    }
    if (!r.atEnd()) return false;
    out.blob.assign(data, data + size);
    return true;
}

// RSA keys of the plain public blob order (e before n) are rebuilt so that
// a key added from its parts is named by the same blob ssh-keygen shows.
Bytes plainPublicBlob(const PublicKey& key) {
    WireWriter w;
    w.string(std::string(baseTypeName(key.algorithm)));
    writePublicFields(key, w);
    return w.take();
}

bool knownKeyType(const std::string& name) {
    KeyAlgorithm a;
    bool cert;
    return typeFromName(name, a, cert);
}

std::string publicKeyLine(const PublicKey& key, const std::string& comment) {
    std::string line = key.typeName + " " + base64Encode(key.blob);
    if (!comment.empty()) line += " " + oneLine(comment);
    return line + "\n";
}

std::string rfc4716PublicKey(const PublicKey& key, const std::string& comment) {
    const std::size_t kMaxLine = 72;
    std::string out = "---- BEGIN SSH2 PUBLIC KEY ----\n";
    // A long header goes on in lines that end with a backslash; a line is
    // never cut inside a UTF-8 sequence.
    std::string header = "Comment: \"" + oneLine(comment) + "\"";
    std::size_t pos = 0;
    while (header.size() - pos > kMaxLine) {
        std::size_t cut = pos + kMaxLine - 1;
        while (cut > pos + 1 && (static_cast<unsigned char>(header[cut]) & 0xc0) == 0x80) --cut;
        out += header.substr(pos, cut - pos) + "\\\n";
        pos = cut;
    }
    out += header.substr(pos) + "\n";
    std::string b64 = base64Encode(key.blob);
    for (std::size_t i = 0; i < b64.size(); i += 70) out += b64.substr(i, 70) + "\n";
    return out + "---- END SSH2 PUBLIC KEY ----\n";
}

}  // namespace agentcore
