#include "Bcrypt.h"

#include <gcrypt.h>

#include <cstring>
#include <mutex>

namespace agentcore {

namespace {

// Blowfish's initial boxes are the hexadecimal fraction of pi, 18 + 1024
// words. They are computed once, by Machin's formula in fixed point, rather
// than kept as a table of a thousand literals that nothing here could check.
const std::size_t kPiWords = 18 + 4 * 256;
const std::size_t kGuardWords = 4;  // the truncation of some 20,000 divisions stays below these
const std::size_t kFixedWords = 1 + kPiWords + kGuardWords;  // word 0 holds the integer part

// Leading words known to be zero are skipped: the powers of 1/m shrink
// by a word every few terms, which halves the work.
struct Fixed {
    std::uint32_t w[kFixedWords];
    std::size_t lead;  // w[0..lead) are zero
};

void divideSmall(Fixed& x, std::uint32_t d) {
    std::uint64_t rem = 0;
    for (std::size_t i = x.lead; i < kFixedWords; ++i) {
        std::uint64_t cur = (rem << 32) | x.w[i];
        x.w[i] = std::uint32_t(cur / d);
        rem = cur % d;
    }
    while (x.lead < kFixedWords && x.w[x.lead] == 0) ++x.lead;
}

void multiplySmall(Fixed& x, std::uint32_t m) {
    std::uint64_t carry = 0;
    for (std::size_t i = kFixedWords; i-- > 0;) {
        std::uint64_t cur = std::uint64_t(x.w[i]) * m + carry;
        x.w[i] = std::uint32_t(cur);
        carry = cur >> 32;
    }
    x.lead = 0;
}

// acc stays non-negative: the partial sums of the series all are.
void addTo(Fixed& acc, const Fixed& t, bool subtract) {
    std::int64_t carry = 0;
    for (std::size_t i = kFixedWords; i-- > 0;) {
        if (i < t.lead && carry == 0) break;
        std::int64_t ti = i < t.lead ? 0 : std::int64_t(t.w[i]);
        std::int64_t cur = std::int64_t(acc.w[i]) + (subtract ? -ti : ti) + carry;
        acc.w[i] = std::uint32_t(cur);
        carry = cur >> 32;  // -1, 0 or 1
    }
    acc.lead = 0;
}

// atan(1/m) = sum over k of (-1)^k / ((2k+1) m^(2k+1)).
void arctanInverse(std::uint32_t m, Fixed& acc) {
    Fixed power = {}, term;
    std::memset(&acc, 0, sizeof acc);
    power.w[0] = 1;
    divideSmall(power, m);
    for (std::uint32_t k = 0; power.lead < kFixedWords; ++k) {
        term = power;
        divideSmall(term, 2 * k + 1);
        addTo(acc, term, k % 2 == 1);
        divideSmall(power, m * m);
    }
}

struct InitialState {
    std::uint32_t p[18];
    std::uint32_t s[4][256];
};

const InitialState& initialState() {
    static InitialState state;
    static std::once_flag once;
    std::call_once(once, [] {
        // pi = 16 atan(1/5) - 4 atan(1/239)
        static Fixed a5, a239;
        arctanInverse(5, a5);
        arctanInverse(239, a239);
        multiplySmall(a5, 4);
        addTo(a5, a239, true);
        multiplySmall(a5, 4);
        const std::uint32_t* fraction = a5.w + 1;
        std::memcpy(state.p, fraction, sizeof state.p);
        std::memcpy(state.s, fraction + 18, sizeof state.s);
    });
    return state;
}

// The key and salt are read as a cycle of big-endian words.
std::uint32_t streamWord(const std::uint8_t* data, std::size_t size, std::size_t& pos) {
    std::uint32_t word = 0;
    for (int i = 0; i < 4; ++i) {
        word = (word << 8) | data[pos];
        pos = (pos + 1) % size;
    }
    return word;
}

}  // namespace

Blowfish::Blowfish() {
    const InitialState& init = initialState();
    std::memcpy(p_, init.p, sizeof p_);
    std::memcpy(s_, init.s, sizeof s_);
}

Blowfish::~Blowfish() {
    wipeMemory(p_, sizeof p_);
    wipeMemory(s_, sizeof s_);
}

std::uint32_t Blowfish::f(std::uint32_t x) const {
    return ((s_[0][x >> 24] + s_[1][(x >> 16) & 0xff]) ^ s_[2][(x >> 8) & 0xff]) + s_[3][x & 0xff];
}

void Blowfish::encrypt(std::uint32_t& left, std::uint32_t& right) const {
    std::uint32_t l = left, r = right;
    for (int i = 0; i < 16; i += 2) {
        l ^= p_[i];
        r ^= f(l);
        r ^= p_[i + 1];
        l ^= f(r);
    }
    left = r ^ p_[17];
    right = l ^ p_[16];
}

void Blowfish::expand(const std::uint8_t* salt, std::size_t saltSize, const std::uint8_t* key, std::size_t keySize) {
    std::size_t pos = 0;
    for (std::uint32_t& word : p_) word ^= streamWord(key, keySize, pos);
    std::uint32_t l = 0, r = 0;
    pos = 0;
    auto next = [&](std::uint32_t* out) {
        if (saltSize) {
            l ^= streamWord(salt, saltSize, pos);
            r ^= streamWord(salt, saltSize, pos);
        }
        encrypt(l, r);
        out[0] = l;
        out[1] = r;
    };
    for (int i = 0; i < 18; i += 2) next(p_ + i);
    for (auto& box : s_)
        for (int i = 0; i < 256; i += 2) next(box + i);
}

namespace {

const std::size_t kHashSize = 32;

void bcryptHash(const std::uint8_t* sha2pass, const std::uint8_t* sha2salt, std::uint8_t* out) {
    static const char magic[] = "OxychromaticBlowfishSwatDynamite";
    Blowfish state;
    state.expand(sha2salt, 64, sha2pass, 64);
    for (int i = 0; i < 64; ++i) {
        state.expand(sha2salt, 64);
        state.expand(sha2pass, 64);
    }
    std::uint32_t words[kHashSize / 4];
    std::size_t pos = 0;
    for (std::uint32_t& w : words) w = streamWord(reinterpret_cast<const std::uint8_t*>(magic), kHashSize, pos);
    for (int i = 0; i < 64; ++i)
        for (std::size_t j = 0; j < kHashSize / 4; j += 2) state.encrypt(words[j], words[j + 1]);
    // The result is stored little-endian, unlike everything before it.
    for (std::size_t j = 0; j < kHashSize / 4; ++j)
        for (int b = 0; b < 4; ++b) out[4 * j + b] = std::uint8_t(words[j] >> (8 * b));
    wipeMemory(words, sizeof words);
}

}  // namespace

bool bcryptPbkdf(const std::uint8_t* pass, std::size_t passSize, const std::uint8_t* salt, std::size_t saltSize,
                 unsigned rounds, std::uint8_t* key, std::size_t keySize) {
    if (rounds < 1 || passSize == 0 || saltSize == 0 || saltSize > (1u << 20) || keySize == 0 ||
        keySize > kHashSize * kHashSize)
        return false;
    // Each output block fills every stride-th byte, so that the whole key
    // costs as much as its last block.
    const std::size_t stride = (keySize + kHashSize - 1) / kHashSize;
    const std::size_t amount = (keySize + stride - 1) / stride;
    std::uint8_t sha2pass[64], sha2salt[64], block[kHashSize], sum[kHashSize];
    gcry_md_hash_buffer(GCRY_MD_SHA512, sha2pass, pass, passSize);
    Bytes countSalt(salt, salt + saltSize);
    countSalt.resize(saltSize + 4);
    for (std::uint32_t count = 1; count <= stride; ++count) {
        for (int b = 0; b < 4; ++b) countSalt[saltSize + b] = std::uint8_t(count >> (24 - 8 * b));
        gcry_md_hash_buffer(GCRY_MD_SHA512, sha2salt, countSalt.data(), countSalt.size());
        bcryptHash(sha2pass, sha2salt, block);
        std::memcpy(sum, block, sizeof sum);
        for (unsigned r = 1; r < rounds; ++r) {
            gcry_md_hash_buffer(GCRY_MD_SHA512, sha2salt, block, sizeof block);
            bcryptHash(sha2pass, sha2salt, block);
            for (std::size_t i = 0; i < kHashSize; ++i) sum[i] ^= block[i];
        }
        for (std::size_t i = 0; i < amount; ++i) {
            std::size_t dest = i * stride + (count - 1);
            if (dest >= keySize) break;
            key[dest] = sum[i];
        }
    }
    wipeMemory(sha2pass, sizeof sha2pass);
    wipeMemory(sha2salt, sizeof sha2salt);
    wipeMemory(block, sizeof block);
    wipeMemory(sum, sizeof sum);
    return true;
}

}  // namespace agentcore
