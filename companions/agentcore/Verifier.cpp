#include "Verifier.h"

#include <gcrypt.h>

#include <cstdlib>
#include <mutex>
#include <sstream>

namespace agentcore {

namespace {

const std::size_t kSaltSize = 16;
const std::size_t kHashSize = 32;
const char* const kScheme = "scrypt";

bool costInRange(std::uint32_t cost) {
    return cost >= kMinVerifierCost && cost <= kMaxVerifierCost && (cost & (cost - 1)) == 0;
}

// Each derivation takes 128 * r * N bytes (16 MiB at the default cost).
// Locks with a passphrase of the client's are not braked like guesses, so
// without this every public client at once could ask for one and use up
// the address space of the 32-bit agent: one derivation at a time.
std::mutex g_deriving;

bool derive(const std::uint8_t* passphrase, std::size_t size, std::uint32_t cost, const Bytes& salt, Bytes& out) {
    std::lock_guard<std::mutex> one(g_deriving);
    out.assign(kHashSize, 0);
    // libgcrypt's scrypt takes N as the sub-algorithm and p as the iterations.
    return gcry_kdf_derive(passphrase, size, GCRY_KDF_SCRYPT, int(cost), salt.data(), salt.size(), 1, out.size(),
                           out.data()) == 0;
}

std::string hex(const Bytes& b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::uint8_t c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

bool unhex(const std::string& s, std::size_t size, Bytes& out) {
    if (s.size() != 2 * size) return false;
    out.clear();
    for (std::size_t i = 0; i < s.size(); i += 2) {
        int v = 0;
        for (std::size_t j = i; j < i + 2; ++j) {
            char c = s[j];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (d < 0) return false;
            v = v * 16 + d;
        }
        out.push_back(std::uint8_t(v));
    }
    return true;
}

}  // namespace

bool makeVerifier(const std::uint8_t* passphrase, std::size_t size, std::uint32_t cost, Verifier& out) {
    out = Verifier();
    if (!costInRange(cost)) return false;
    Verifier v;
    v.cost = cost;
    v.salt.assign(kSaltSize, 0);
    gcry_randomize(v.salt.data(), v.salt.size(), GCRY_STRONG_RANDOM);
    if (!derive(passphrase, size, cost, v.salt, v.hash)) return false;
    out = v;
    return true;
}

bool matchesVerifier(const Verifier& verifier, const std::uint8_t* passphrase, std::size_t size) {
    if (verifier.empty() || !costInRange(verifier.cost)) return false;
    Bytes hash;
    if (!derive(passphrase, size, verifier.cost, verifier.salt, hash) || hash.size() != verifier.hash.size()) return false;
    // Every byte is looked at, whatever the first difference.
    std::uint8_t diff = 0;
    for (std::size_t i = 0; i < hash.size(); ++i) diff |= std::uint8_t(hash[i] ^ verifier.hash[i]);
    return diff == 0;
}

std::string formatVerifier(const Verifier& verifier) {
    if (verifier.empty()) return std::string();
    return std::string(kScheme) + " " + std::to_string(verifier.cost) + " " + hex(verifier.salt) + " " +
           hex(verifier.hash) + "\n";
}

bool parseVerifier(const std::string& text, Verifier& out) {
    out = Verifier();
    std::istringstream in(text);
    std::string scheme, cost, salt, hash, extra;
    if (!(in >> scheme >> cost >> salt >> hash) || (in >> extra) || scheme != kScheme) return false;
    if (cost.empty() || cost.size() > 8 || cost.find_first_not_of("0123456789") != std::string::npos) return false;
    Verifier v;
    v.cost = std::uint32_t(std::strtoul(cost.c_str(), nullptr, 10));
    if (!costInRange(v.cost) || !unhex(salt, kSaltSize, v.salt) || !unhex(hash, kHashSize, v.hash)) return false;
    out = v;
    return true;
}

}  // namespace agentcore
