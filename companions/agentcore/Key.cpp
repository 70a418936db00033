#include "Key.h"
#include "KeyTypes.h"
#include "PlatformSigner.h"
#include "SystemRandom.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace agentcore {

using namespace detail;

namespace {


// RAII for the few libgcrypt objects used here.
struct Sexp {
    gcry_sexp_t s = nullptr;
    ~Sexp() { gcry_sexp_release(s); }
};
struct Mpi {
    gcry_mpi_t m = nullptr;
    ~Mpi() { gcry_mpi_release(m); }
};

bool toMpi(const Bytes& b, Mpi& out) {
    // An empty magnitude is zero: libgcrypt wants at least one byte.
    static const std::uint8_t zero = 0;
    const std::uint8_t* p = b.empty() ? &zero : b.data();
    std::size_t n = b.empty() ? 1 : b.size();
    return gcry_mpi_scan(&out.m, GCRYMPI_FMT_USG, p, n, nullptr) == 0;
}

// libgcrypt trusts a DSA group: with a q that is not prime a signature may
// have no inverse, and its verification then aborts the whole process on
// an assertion. A client's key or a host's key must not get that far.
bool dsaGroupSound(gcry_mpi_t p, gcry_mpi_t q, gcry_mpi_t g, gcry_mpi_t y) {
    Mpi one;
    one.m = gcry_mpi_set_ui(nullptr, 1);
    return gcry_mpi_cmp(g, one.m) > 0 && gcry_mpi_cmp(g, p) < 0 && gcry_mpi_cmp(y, one.m) > 0 && gcry_mpi_cmp(y, p) < 0 &&
           gcry_prime_check(q, 0) == 0 && gcry_prime_check(p, 0) == 0;
}


// A number as its unsigned magnitude, without leading zero bytes.
bool mpiBytes(gcry_mpi_t m, Bytes& out) {
    std::size_t n = 0;
    if (gcry_mpi_print(GCRYMPI_FMT_USG, nullptr, 0, &n, m)) return false;
    out.assign(n ? n : 1, 0);
    if (gcry_mpi_print(GCRYMPI_FMT_USG, out.data(), out.size(), &n, m)) return false;
    out.resize(n);
    return true;
}

// A token's value as bytes, left-padded with zeros to width when given.
bool tokenBytes(gcry_sexp_t sexp, const char* name, std::size_t width, Bytes& out) {
    Sexp tok;
    tok.s = gcry_sexp_find_token(sexp, name, 0);
    if (!tok.s) return false;
    Mpi m;
    m.m = gcry_sexp_nth_mpi(tok.s, 1, GCRYMPI_FMT_USG);
    if (!m.m) return false;
    Bytes raw;
    if (!mpiBytes(m.m, raw)) return false;
    if (width == 0) {
        out = raw;
        return true;
    }
    if (raw.size() > width) return false;
    out.assign(width - raw.size(), 0);
    out.insert(out.end(), raw.begin(), raw.end());
    return true;
}

bool hashOf(int algo, const std::uint8_t* data, std::size_t size, Bytes& out) {
    out.resize(gcry_md_get_algo_dlen(algo));
    gcry_md_hash_buffer(algo, out.data(), data, size);
    return true;
}



// What this agent holds: the sizes the product promises, and no secret
// number larger than the public one it works modulo.
bool privateNumbersBounded(const PrivateKey& key) {
    const PublicKey& p = key.pub;
    if (!publicNumbersBounded(p)) return false;
    switch (p.algorithm) {
    case KeyAlgorithm::Rsa:
        return bitLength(p.rsaN) >= kMinRsaBits && below(key.rsaD, p.rsaN) && below(key.rsaP, p.rsaN) &&
               below(key.rsaQ, p.rsaN) && below(key.rsaIqmp, key.rsaP);
    case KeyAlgorithm::Dsa:
        return bitLength(key.dsaX) > 0 && below(key.dsaX, p.dsaQ);
    case KeyAlgorithm::Ed25519:
        return key.ed25519Seed.size() == 32;
    default:
        return bitLength(key.ecD) > 0 && bitLength(key.ecD) <= p.bits();
    }
}

bool productIsOne(gcry_mpi_t a, gcry_mpi_t b, gcry_mpi_t modulus) {
    Mpi product;
    product.m = gcry_mpi_new(0);
    gcry_mpi_mulm(product.m, a, b, modulus);
    return gcry_mpi_cmp_ui(product.m, 1) == 0;
}

// libgcrypt signs with p, q, iqmp and d reduced mod p-1 and q-1 (CRT) and
// checks no more than n = p q itself: parts that do not agree would give
// signatures that no server accepts. A trial signature of a 16384-bit key
// would cost seconds; these products cost little.
bool rsaPartsAgree(const PrivateKey& key) {
    Mpi n, e, d, p, q, iqmp, product, pMinus1, qMinus1;
    if (!toMpi(key.pub.rsaN, n) || !toMpi(key.pub.rsaE, e) || !toMpi(key.rsaD, d) || !toMpi(key.rsaP, p) ||
        !toMpi(key.rsaQ, q) || !toMpi(key.rsaIqmp, iqmp))
        return false;
    // p - 1 and q - 1 are moduli below: neither may be zero.
    if (gcry_mpi_cmp_ui(p.m, 1) <= 0 || gcry_mpi_cmp_ui(q.m, 1) <= 0) return false;
    product.m = gcry_mpi_new(0);
    gcry_mpi_mul(product.m, p.m, q.m);
    if (gcry_mpi_cmp(product.m, n.m) != 0) return false;
    pMinus1.m = gcry_mpi_new(0), qMinus1.m = gcry_mpi_new(0);
    gcry_mpi_sub_ui(pMinus1.m, p.m, 1);
    gcry_mpi_sub_ui(qMinus1.m, q.m, 1);
    return productIsOne(e.m, d.m, pMinus1.m) && productIsOne(e.m, d.m, qMinus1.m) && productIsOne(iqmp.m, q.m, p.m);
}

bool buildPrivateSexp(const PrivateKey& key, Sexp& out) {
    const PublicKey& p = key.pub;
    switch (p.algorithm) {
    case KeyAlgorithm::Ed25519:
        return gcry_sexp_build(&out.s, nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(q %b)(d %b)))",
                               int(p.ed25519.size()), p.ed25519.data(), int(key.ed25519Seed.size()),
                               key.ed25519Seed.data()) == 0;
    case KeyAlgorithm::Rsa: {
        // OpenSSH's iqmp is q^-1 mod p; libgcrypt's u is p^-1 mod q. Handing
        // libgcrypt the primes swapped makes the one the other.
        Mpi n, e, d, pp, q, u;
        if (!toMpi(p.rsaN, n) || !toMpi(p.rsaE, e) || !toMpi(key.rsaD, d) || !toMpi(key.rsaQ, pp) ||
            !toMpi(key.rsaP, q) || !toMpi(key.rsaIqmp, u))
            return false;
        return gcry_sexp_build(&out.s, nullptr, "(private-key(rsa(n %m)(e %m)(d %m)(p %m)(q %m)(u %m)))", n.m, e.m, d.m,
                               pp.m, q.m, u.m) == 0;
    }
    case KeyAlgorithm::Dsa: {
        Mpi pm, q, g, y, x;
        if (!toMpi(p.dsaP, pm) || !toMpi(p.dsaQ, q) || !toMpi(p.dsaG, g) || !toMpi(p.dsaY, y) || !toMpi(key.dsaX, x))
            return false;
        if (!dsaGroupSound(pm.m, q.m, g.m, y.m) || gcry_mpi_cmp_ui(x.m, 0) <= 0 || gcry_mpi_cmp(x.m, q.m) >= 0) return false;
        return gcry_sexp_build(&out.s, nullptr, "(private-key(dsa(p %m)(q %m)(g %m)(y %m)(x %m)))", pm.m, q.m, g.m, y.m,
                               x.m) == 0;
    }
    default: {
        Mpi d;
        if (!toMpi(key.ecD, d)) return false;
        return gcry_sexp_build(&out.s, nullptr, "(private-key(ecc(curve %s)(q %b)(d %m)))", curveOf(p.algorithm)->gcryName,
                               int(p.ecPoint.size()), p.ecPoint.data(), d.m) == 0;
    }
    }
}

bool buildPublicSexp(const PublicKey& p, Sexp& out) {
    switch (p.algorithm) {
    case KeyAlgorithm::Ed25519:
        return gcry_sexp_build(&out.s, nullptr, "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))",
                               int(p.ed25519.size()), p.ed25519.data()) == 0;
    case KeyAlgorithm::Rsa: {
        Mpi n, e;
        if (!toMpi(p.rsaN, n) || !toMpi(p.rsaE, e)) return false;
        return gcry_sexp_build(&out.s, nullptr, "(public-key(rsa(n %m)(e %m)))", n.m, e.m) == 0;
    }
    case KeyAlgorithm::Dsa: {
        Mpi pm, q, g, y;
        if (!toMpi(p.dsaP, pm) || !toMpi(p.dsaQ, q) || !toMpi(p.dsaG, g) || !toMpi(p.dsaY, y)) return false;
        if (!dsaGroupSound(pm.m, q.m, g.m, y.m)) return false;
        return gcry_sexp_build(&out.s, nullptr, "(public-key(dsa(p %m)(q %m)(g %m)(y %m)))", pm.m, q.m, g.m, y.m) == 0;
    }
    default:
        return gcry_sexp_build(&out.s, nullptr, "(public-key(ecc(curve %s)(q %b)))", curveOf(p.algorithm)->gcryName,
                               int(p.ecPoint.size()), p.ecPoint.data()) == 0;
    }
}

// The private half must belong to the public half: a key that signs
// garbage would only show itself at the server.
bool consistent(const PrivateKey& key) {
    if (key.pub.algorithm == KeyAlgorithm::Rsa) return rsaPartsAgree(key);
    static const std::uint8_t probe[] = "agent key check";
    Bytes sig;
    return signData(key, probe, sizeof probe, 0, sig) && verifySignature(key.pub, probe, sizeof probe, sig.data(), sig.size());
}

// libgcrypt copies key numbers into its own S-expressions and MPIs and
// frees them without wiping unless they are in its locked pool, which an
// unprivileged process (and Wine) cannot have. Every block it allocates
// therefore carries its size in front, so that it is wiped when freed.
const std::size_t kHeader = 16;  // keeps the block's alignment

void* wipingAlloc(std::size_t n) {
    auto* p = static_cast<unsigned char*>(std::malloc(n + kHeader));
    if (!p) return nullptr;
    std::memcpy(p, &n, sizeof n);
    return p + kHeader;
}

int neverSecure(const void*) { return 0; }

void wipingFree(void* block) {
    if (!block) return;
    auto* p = static_cast<unsigned char*>(block) - kHeader;
    std::size_t n;
    std::memcpy(&n, p, sizeof n);
    wipeMemory(p, n + kHeader);
    std::free(p);
}

void* wipingRealloc(void* block, std::size_t n) {
    if (!block) return wipingAlloc(n);
    std::size_t old;
    std::memcpy(&old, static_cast<unsigned char*>(block) - kHeader, sizeof old);
    void* fresh = wipingAlloc(n);
    if (!fresh) return nullptr;
    std::memcpy(fresh, block, old < n ? old : n);
    wipingFree(block);
    return fresh;
}

}  // namespace

bool rsaCrtExponents(const PrivateKey& key, Bytes& dp, Bytes& dq) {
    Mpi d, p, q, pMinus1, qMinus1, dpm, dqm;
    if (!toMpi(key.rsaD, d) || !toMpi(key.rsaP, p) || !toMpi(key.rsaQ, q)) return false;
    if (gcry_mpi_cmp_ui(p.m, 1) <= 0 || gcry_mpi_cmp_ui(q.m, 1) <= 0) return false;
    pMinus1.m = gcry_mpi_new(0), qMinus1.m = gcry_mpi_new(0), dpm.m = gcry_mpi_snew(0), dqm.m = gcry_mpi_snew(0);
    gcry_mpi_sub_ui(pMinus1.m, p.m, 1);
    gcry_mpi_sub_ui(qMinus1.m, q.m, 1);
    gcry_mpi_mod(dpm.m, d.m, pMinus1.m);
    gcry_mpi_mod(dqm.m, d.m, qMinus1.m);
    return mpiBytes(dpm.m, dp) && mpiBytes(dqm.m, dq);
}

void initCrypto() {
    static std::once_flag once;
    std::call_once(once, [] {
        gcry_set_allocation_handler(wipingAlloc, wipingAlloc, neverSecure, wipingRealloc, wipingFree);
        gcry_check_version(nullptr);
        // The agent holds its keys in its own wiped buffers; libgcrypt's
        // locked pool is not available to an unprivileged process anyway.
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_set_log_handler(
            [](void*, int level, const char* fmt, va_list args) {
                // Under Wine the entropy gatherer notes "diskperf -y" at each
                // slow poll; only errors matter here.
                if (level >= GCRY_LOG_ERROR) std::vfprintf(stderr, fmt, args);
            },
            nullptr);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    });
}


AddResult readPrivateKey(WireReader& in, std::unique_ptr<PrivateKey>& out) {
    std::unique_ptr<PrivateKey> key(new PrivateKey);
    PublicKey& pub = key->pub;
    std::string name;
    if (!in.text(name)) return AddResult::Malformed;
    if (!typeFromName(name, pub.algorithm, pub.certificate)) {
        // Unknown and security-key types alike: the rest cannot be parsed
        // without knowing the type, so the request ends here.
        return AddResult::Refused;
    }
    pub.typeName = name;
    if (pub.certificate) {
        const std::uint8_t* cert;
        std::size_t certSize;
        if (!in.stringView(cert, certSize)) return AddResult::Malformed;
        if (!readPublicBlob(cert, certSize, pub) || pub.typeName != name) return AddResult::Malformed;
    }
    switch (pub.algorithm) {
    case KeyAlgorithm::Ed25519: {
        Bytes a, secret;
        if (pub.certificate) {
            if (!in.string(a) || a != pub.ed25519) return AddResult::Malformed;
        } else {
            if (!in.string(pub.ed25519) || pub.ed25519.size() != 32) return AddResult::Malformed;
        }
        // The secret is the seed followed by the public key again.
        if (!in.string(secret) || secret.size() != 64 || !std::equal(secret.begin() + 32, secret.end(), pub.ed25519.begin()))
            return AddResult::Malformed;
        key->ed25519Seed.assign(secret.begin(), secret.begin() + 32);
        wipe(secret);
        break;
    }
    case KeyAlgorithm::Rsa:
        if (!pub.certificate && (!in.mpintUnsigned(pub.rsaN) || !in.mpintUnsigned(pub.rsaE))) return AddResult::Malformed;
        if (!in.mpintUnsigned(key->rsaD) || !in.mpintUnsigned(key->rsaIqmp) || !in.mpintUnsigned(key->rsaP) ||
            !in.mpintUnsigned(key->rsaQ))
            return AddResult::Malformed;
        if (pub.rsaN.empty() || pub.rsaE.empty() || key->rsaD.empty() || key->rsaP.empty() || key->rsaQ.empty())
            return AddResult::Malformed;
        break;
    case KeyAlgorithm::Dsa:
        if (!pub.certificate && !readPublicFields(in, pub)) return AddResult::Malformed;
        if (!in.mpintUnsigned(key->dsaX) || key->dsaX.empty()) return AddResult::Malformed;
        break;
    default:
        if (!pub.certificate && !readPublicFields(in, pub)) return AddResult::Malformed;
        if (!in.mpintUnsigned(key->ecD) || key->ecD.empty()) return AddResult::Malformed;
        break;
    }
    if (!in.text(key->comment)) return AddResult::Malformed;
    if (!pub.certificate) pub.blob = plainPublicBlob(pub);
    if (key->comment.size() > kMaxKeyName || !privateNumbersBounded(*key)) return AddResult::Refused;
    if (!consistent(*key)) return AddResult::Malformed;
    out = std::move(key);
    return AddResult::Ok;
}


Bytes encodePrivateKeyBody(const PrivateKey& key, bool withCertificate) {
    const PublicKey& p = key.pub;
    const bool cert = withCertificate && p.certificate;
    WireWriter w;
    if (cert) {
        w.string(p.typeName);
        w.string(p.blob);
    } else {
        w.string(std::string(baseTypeName(p.algorithm)));
    }
    switch (p.algorithm) {
    case KeyAlgorithm::Ed25519: {
        // Ed25519 repeats its point even beside a certificate.
        w.string(p.ed25519);
        Bytes secret = key.ed25519Seed;
        secret.insert(secret.end(), p.ed25519.begin(), p.ed25519.end());
        w.string(secret);
        break;
    }
    case KeyAlgorithm::Rsa:
        if (!cert) w.mpint(p.rsaN), w.mpint(p.rsaE);
        w.mpint(key.rsaD), w.mpint(key.rsaIqmp), w.mpint(key.rsaP), w.mpint(key.rsaQ);
        break;
    case KeyAlgorithm::Dsa:
        if (!cert) writePublicFields(p, w);
        w.mpint(key.dsaX);
        break;
    default:
        if (!cert) writePublicFields(p, w);
        w.mpint(key.ecD);
    }
    w.string(key.comment);
    return w.take();
}

namespace {

// Point coordinates as fixed-width bytes.
bool affineBytes(gcry_mpi_point_t point, gcry_ctx_t ctx, std::size_t width, Bytes& x, Bytes& y) {
    Mpi xm, ym;
    xm.m = gcry_mpi_new(0), ym.m = gcry_mpi_new(0);
    if (gcry_mpi_ec_get_affine(xm.m, ym.m, point, ctx)) return false;
    x.assign(width, 0), y.assign(width, 0);
    std::size_t n;
    Bytes raw(width);
    for (auto pair : {std::make_pair(xm.m, &x), std::make_pair(ym.m, &y)}) {
        if (gcry_mpi_print(GCRYMPI_FMT_USG, raw.data(), raw.size(), &n, pair.first)) return false;
        std::copy(raw.begin(), raw.begin() + std::ptrdiff_t(n), pair.second->end() - std::ptrdiff_t(n));
    }
    return true;
}

struct EcContext {
    gcry_ctx_t ctx = nullptr;
    ~EcContext() { gcry_ctx_release(ctx); }
};
struct Point {
    gcry_mpi_point_t p = nullptr;
    ~Point() { gcry_mpi_point_release(p); }
};

// scalar times the curve's base point.
bool multiplyBase(const char* curve, gcry_mpi_t scalar, std::size_t width, Bytes& x, Bytes& y) {
    EcContext ec;
    if (gcry_mpi_ec_new(&ec.ctx, nullptr, curve)) return false;
    Point g, q;
    g.p = gcry_mpi_ec_get_point("g", ec.ctx, 1);
    if (!g.p) return false;
    q.p = gcry_mpi_point_new(0);
    gcry_mpi_ec_mul(q.p, scalar, g.p, ec.ctx);
    return affineBytes(q.p, ec.ctx, width, x, y);
}

// RFC 8032 section 5.1.5: the point of the clamped first half of the
// seed's SHA-512, encoded as y little-endian with x's parity on top.
bool ed25519Point(const Bytes& seed, Bytes& point) {
    if (seed.size() != 32) return false;
    Bytes h(64);
    gcry_md_hash_buffer(GCRY_MD_SHA512, h.data(), seed.data(), seed.size());
    h[0] &= 248, h[31] &= 127, h[31] |= 64;
    Bytes scalar(h.rend() - 32, h.rend());  // big-endian for the scan
    Mpi a;
    Bytes x, y;
    if (!toMpi(scalar, a) || !multiplyBase("Ed25519", a.m, 32, x, y)) return false;
    point.assign(y.rbegin(), y.rend());
    point[31] |= std::uint8_t((x[31] & 1) << 7);
    return true;
}

}  // namespace

bool derivePublic(PrivateKey& key) {
    PublicKey& p = key.pub;
    switch (p.algorithm) {
    case KeyAlgorithm::Ed25519:
        return ed25519Point(key.ed25519Seed, p.ed25519);
    case KeyAlgorithm::Rsa:
        return false;
    case KeyAlgorithm::Dsa: {
        // The group and x come from a file: their sizes first.
        Mpi pm, g, x, y;
        if (!dsaGroupBounded(p) || bitLength(key.dsaX) == 0 || !below(key.dsaX, p.dsaQ)) return false;
        if (!toMpi(p.dsaP, pm) || !toMpi(p.dsaG, g) || !toMpi(key.dsaX, x)) return false;
        y.m = gcry_mpi_new(0);
        gcry_mpi_powm(y.m, g.m, x.m, pm.m);
        std::size_t n;
        p.dsaY.assign(p.dsaP.size(), 0);
        if (gcry_mpi_print(GCRYMPI_FMT_USG, p.dsaY.data(), p.dsaY.size(), &n, y.m)) return false;
        p.dsaY.resize(n);
        return true;
    }
    default: {
        const Curve* c = curveOf(p.algorithm);
        Mpi d;
        Bytes x, y;
        if (bitLength(key.ecD) > p.bits()) return false;
        if (!toMpi(key.ecD, d) || !multiplyBase(c->gcryName, d.m, c->fieldBytes, x, y)) return false;
        p.ecPoint.assign(1, 0x04);
        p.ecPoint.insert(p.ecPoint.end(), x.begin(), x.end());
        p.ecPoint.insert(p.ecPoint.end(), y.begin(), y.end());
        return true;
    }
    }
}

namespace {

// A token's value as the raw bytes it holds (points and seeds: no number
// conversion that could drop a leading zero).
bool tokenData(gcry_sexp_t sexp, const char* name, Bytes& out) {
    Sexp tok;
    tok.s = gcry_sexp_find_token(sexp, name, 0);
    if (!tok.s) return false;
    std::size_t n = 0;
    const char* data = gcry_sexp_nth_data(tok.s, 1, &n);
    if (!data) return false;
    out.assign(data, data + n);
    return true;
}

const Curve* curveForBits(unsigned bits) {
    if (bits == 0) return nullptr;
    for (const Curve& c : kCurves)
        if (bits <= c.fieldBytes * 8 - (c.algorithm == KeyAlgorithm::EcdsaP521 ? 7 : 0)) return &c;
    return nullptr;
}

}  // namespace

namespace {

// Read back as any added key is, so that a generated key meets the same
// checks and carries its blob.
bool readBack(const PrivateKey& k, std::unique_ptr<PrivateKey>& out) {
    Bytes body = encodePrivateKeyBody(k, false);
    WireReader r(body);
    return readPrivateKey(r, out) == AddResult::Ok && r.atEnd();
}

// An Ed25519 key is its 32-byte seed (RFC 8032): the seed from the system's
// generator, the point derived from it.
bool generateEd25519(const std::string& comment, std::unique_ptr<PrivateKey>& out) {
    PrivateKey k;
    k.pub.algorithm = KeyAlgorithm::Ed25519;
    k.ed25519Seed.assign(32, 0);
    if (!systemRandom(k.ed25519Seed.data(), k.ed25519Seed.size()) || !derivePublic(k)) return false;
    k.comment = comment;
    return readBack(k, out);
}

}  // namespace

bool generateKey(KeyKind kind, unsigned bits, const std::string& comment, std::unique_ptr<PrivateKey>& out) {
    if (kind == KeyKind::Ed25519) return generateEd25519(comment, out);
    PrivateKey k;
    PublicKey& p = k.pub;
    Sexp params, pair, priv;
    gpg_error_t err;
    const Curve* curve = nullptr;
    switch (kind) {
    case KeyKind::Rsa:
        if (bits < 1024 || bits > 16384) return false;
        p.algorithm = KeyAlgorithm::Rsa;
        err = gcry_sexp_build(&params.s, nullptr, "(genkey(rsa(nbits %d)(rsa-use-e 5:65537)))", int(bits));
        break;
    default:
        curve = curveForBits(bits);
        if (!curve) return false;
        p.algorithm = curve->algorithm;
        err = gcry_sexp_build(&params.s, nullptr, "(genkey(ecc(curve %s)))", curve->gcryName);
    }
    if (err || gcry_pk_genkey(&pair.s, params.s)) return false;
    priv.s = gcry_sexp_find_token(pair.s, "private-key", 0);
    if (!priv.s) return false;
    switch (p.algorithm) {
    case KeyAlgorithm::Rsa:
        // libgcrypt's p < q with u = p^-1 mod q: OpenSSH's iqmp is
        // q^-1 mod p, so the primes change places.
        if (!tokenBytes(priv.s, "n", 0, p.rsaN) || !tokenBytes(priv.s, "e", 0, p.rsaE) ||
            !tokenBytes(priv.s, "d", 0, k.rsaD) || !tokenBytes(priv.s, "p", 0, k.rsaQ) ||
            !tokenBytes(priv.s, "q", 0, k.rsaP) || !tokenBytes(priv.s, "u", 0, k.rsaIqmp))
            return false;
        break;
    default:
        if (!tokenData(priv.s, "q", p.ecPoint) || !tokenBytes(priv.s, "d", 0, k.ecD)) return false;
    }
    k.comment = comment;
    return readBack(k, out);
}

bool signData(const PrivateKey& key, const std::uint8_t* data, std::size_t size, std::uint32_t flags, Bytes& sigBlob) {
    if (key.platform && key.platform->sign(data, size, flags, sigBlob)) return true;
    return signWithLibgcrypt(key, data, size, flags, sigBlob);
}

bool signWithLibgcrypt(const PrivateKey& key, const std::uint8_t* data, std::size_t size, std::uint32_t flags,
                       Bytes& sigBlob) {
    const PublicKey& p = key.pub;
    Sexp priv, dataSexp, sig;
    if (!buildPrivateSexp(key, priv)) return false;
    WireWriter w;
    switch (p.algorithm) {
    case KeyAlgorithm::Ed25519: {
        if (gcry_sexp_build(&dataSexp.s, nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))", int(size), data))
            return false;
        if (gcry_pk_sign(&sig.s, dataSexp.s, priv.s)) return false;
        Bytes r, s;
        if (!tokenBytes(sig.s, "r", 32, r) || !tokenBytes(sig.s, "s", 32, s)) return false;
        w.string(std::string(kEd25519));
        r.insert(r.end(), s.begin(), s.end());
        w.string(r);
        break;
    }
    case KeyAlgorithm::Rsa: {
        SignatureHash hash = signatureHash(p, flags);
        Bytes digest = digestOf(hash, data, size);
        if (gcry_sexp_build(&dataSexp.s, nullptr, "(data(flags pkcs1)(hash %s %b))", hashName(hash),
                            int(digest.size()), digest.data()))
            return false;
        if (gcry_pk_sign(&sig.s, dataSexp.s, priv.s)) return false;
        Bytes s;
        return tokenBytes(sig.s, "s", 0, s) && signatureBlob(p, hash, s.data(), s.size(), sigBlob);
    }
    case KeyAlgorithm::Dsa: {
        Bytes digest = digestOf(SignatureHash::Sha1, data, size);
        if (gcry_sexp_build(&dataSexp.s, nullptr, "(data(flags rfc6979)(hash sha1 %b))", int(digest.size()),
                            digest.data()))
            return false;
        if (gcry_pk_sign(&sig.s, dataSexp.s, priv.s)) return false;
        Bytes r, s;
        if (!tokenBytes(sig.s, "r", 20, r) || !tokenBytes(sig.s, "s", 20, s)) return false;
        w.string(std::string(kDsa));
        r.insert(r.end(), s.begin(), s.end());
        w.string(r);
        break;
    }
    default: {
        const Curve* c = curveOf(p.algorithm);
        SignatureHash hash = signatureHash(p, flags);
        Bytes digest = digestOf(hash, data, size);
        if (gcry_sexp_build(&dataSexp.s, nullptr, "(data(flags rfc6979)(hash %s %b))", hashName(hash),
                            int(digest.size()), digest.data()))
            return false;
        if (gcry_pk_sign(&sig.s, dataSexp.s, priv.s)) return false;
        Bytes r, s;
        if (!tokenBytes(sig.s, "r", c->fieldBytes, r) || !tokenBytes(sig.s, "s", c->fieldBytes, s)) return false;
        r.insert(r.end(), s.begin(), s.end());
        return signatureBlob(p, hash, r.data(), r.size(), sigBlob);
    }
    }
    sigBlob = w.take();
    return true;
}

bool verifySignature(const PublicKey& key, const std::uint8_t* data, std::size_t size, const std::uint8_t* sigData,
                     std::size_t sigSize) {
    WireReader r(sigData, sigSize);
    std::string format;
    const std::uint8_t* sig;
    std::size_t sigLen;
    if (!r.text(format) || !r.stringView(sig, sigLen) || !r.atEnd()) return false;
    Sexp pub, dataSexp, sigSexp;
    if (!buildPublicSexp(key, pub)) return false;
    switch (key.algorithm) {
    case KeyAlgorithm::Ed25519:
        if (format != kEd25519 || sigLen != 64) return false;
        if (gcry_sexp_build(&dataSexp.s, nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))", int(size), data) ||
            gcry_sexp_build(&sigSexp.s, nullptr, "(sig-val(eddsa(r %b)(s %b)))", 32, sig, 32, sig + 32))
            return false;
        break;
    case KeyAlgorithm::Rsa: {
        int algo;
        const char* hash;
        if (format == "ssh-rsa") algo = GCRY_MD_SHA1, hash = "sha1";
        else if (format == "rsa-sha2-256") algo = GCRY_MD_SHA256, hash = "sha256";
        else if (format == "rsa-sha2-512") algo = GCRY_MD_SHA512, hash = "sha512";
        else return false;
        Bytes digest, s(sig, sig + sigLen);
        hashOf(algo, data, size, digest);
        Mpi sm;
        if (!toMpi(s, sm)) return false;
        if (gcry_sexp_build(&dataSexp.s, nullptr, "(data(flags pkcs1)(hash %s %b))", hash, int(digest.size()),
                            digest.data()) ||
            gcry_sexp_build(&sigSexp.s, nullptr, "(sig-val(rsa(s %m)))", sm.m))
            return false;
        break;
    }
    case KeyAlgorithm::Dsa: {
        if (format != kDsa || sigLen != 40) return false;
        Bytes digest, rr(sig, sig + 20), ss(sig + 20, sig + 40);
        hashOf(GCRY_MD_SHA1, data, size, digest);
        Mpi rm, sm;
        if (!toMpi(rr, rm) || !toMpi(ss, sm)) return false;
        if (gcry_sexp_build(&dataSexp.s, nullptr, "(data(flags raw)(value %b))", int(digest.size()), digest.data()) ||
            gcry_sexp_build(&sigSexp.s, nullptr, "(sig-val(dsa(r %m)(s %m)))", rm.m, sm.m))
            return false;
        break;
    }
    default: {
        const Curve* c = curveOf(key.algorithm);
        if (format != c->typeName) return false;
        WireReader inner(sig, sigLen);
        Bytes rr, ss;
        if (!inner.mpintUnsigned(rr) || !inner.mpintUnsigned(ss) || !inner.atEnd()) return false;
        Bytes digest;
        hashOf(c->hashAlgo, data, size, digest);
        Mpi rm, sm;
        if (!toMpi(rr, rm) || !toMpi(ss, sm)) return false;
        if (gcry_sexp_build(&dataSexp.s, nullptr, "(data(flags raw)(value %b))", int(digest.size()), digest.data()) ||
            gcry_sexp_build(&sigSexp.s, nullptr, "(sig-val(ecdsa(r %m)(s %m)))", rm.m, sm.m))
            return false;
        break;
    }
    }
    return gcry_pk_verify(sigSexp.s, dataSexp.s, pub.s) == 0;
}

std::string fingerprintSha256(const Bytes& blob) {
    std::uint8_t digest[32];
    gcry_md_hash_buffer(GCRY_MD_SHA256, digest, blob.data(), blob.size());
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out = "SHA256:";
    std::uint32_t acc = 0;
    int bits = 0;
    for (std::uint8_t b : digest) {
        acc = (acc << 8) | b;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += alphabet[(acc >> bits) & 0x3f];
        }
    }
    if (bits > 0) out += alphabet[(acc << (6 - bits)) & 0x3f];
    return out;
}

}  // namespace agentcore
