// A passphrase kept only as a salted, slow verifier: scrypt (libgcrypt's)
// of the passphrase, so that the file it is stored in gives an attacker no
// quicker way in than guessing through the KDF.
#ifndef AGENTCORE_VERIFIER_H
#define AGENTCORE_VERIFIER_H

#include "Bytes.h"

#include <cstdint>
#include <string>

namespace agentcore {

// scrypt's N (r is libgcrypt's fixed 8, p is 1): 2^14 costs 16 MiB and
// about a tenth of a second per guess on a current PC (70 to 150 ms on the
// two-core build machine); each doubling doubles both, and more would make
// every unlock and every passphrase change a wait the user notices.
const std::uint32_t kDefaultVerifierCost = 1u << 14;
// What a stored verifier may ask for: anything else is a damaged or
// hostile file. 2^20 would take 1 GiB, half the address space of the
// 32-bit agent; four times the default (64 MiB) leaves room to grow.
const std::uint32_t kMinVerifierCost = 1u << 10;
const std::uint32_t kMaxVerifierCost = 1u << 16;

struct Verifier {
    std::uint32_t cost = 0;
    Bytes salt;
    Bytes hash;
    bool empty() const { return hash.empty(); }
};

// False when libgcrypt fails or the cost is out of range.
bool makeVerifier(const std::uint8_t* passphrase, std::size_t size, std::uint32_t cost, Verifier& out);
bool matchesVerifier(const Verifier& verifier, const std::uint8_t* passphrase, std::size_t size);

// One line: "scrypt N saltHex hashHex". An empty verifier is the empty text.
std::string formatVerifier(const Verifier& verifier);
// False (and out empty) for anything that formatVerifier would not write.
bool parseVerifier(const std::string& text, Verifier& out);

}  // namespace agentcore

#endif
