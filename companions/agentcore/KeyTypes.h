// Shared by the parts of the core that read and write keys: the type
// names, the curves and the public fields of each algorithm.
#ifndef AGENTCORE_KEYTYPES_H
#define AGENTCORE_KEYTYPES_H

#include "Key.h"

#include <cstddef>
#include <string>

namespace agentcore {
namespace detail {

// Security-key types are refused: they need a token this agent has no
// way to reach.
const char* const kEd25519 = "ssh-ed25519";
const char* const kRsa = "ssh-rsa";
const char* const kDsa = "ssh-dss";
const char* const kP256 = "ecdsa-sha2-nistp256";
const char* const kP384 = "ecdsa-sha2-nistp384";
const char* const kP521 = "ecdsa-sha2-nistp521";
const char* const kCertSuffix = "-cert-v01@openssh.com";

struct Curve {
    KeyAlgorithm algorithm;
    const char* typeName;
    const char* sshName;
    const char* gcryName;
    const char* hash;
    int hashAlgo;
    std::size_t fieldBytes;
};

extern const Curve kCurves[3];

// The largest number of any key held or checked here: RSA-16384, the most
// that ssh-keygen and this agent make. Every size is checked before any
// arithmetic, so that a client or a host cannot make one request cost
// seconds of CPU.
const unsigned kMaxNumberBits = 16384;
const unsigned kMinRsaBits = 1024;
// Real keys use 65537 (ssh-keygen, OpenSSL and PuTTY make no other).
// OpenSSL refuses exponents over 64 bits for moduli over 3072 bits, so no
// server could check a signature of a larger one anyway; 64 bits costs a
// check at most 64 squarings, where an unbounded exponent cost seconds.
const unsigned kMaxRsaExponentBits = 64;
const unsigned kDsaPBits = 1024;
const unsigned kDsaQBits = 160;

const Curve* curveOf(KeyAlgorithm a);
bool typeFromName(const std::string& name, KeyAlgorithm& a, bool& cert);
unsigned bitLength(const Bytes& magnitude);
// a < b for unsigned magnitudes (leading zero bytes allowed).
bool below(const Bytes& a, const Bytes& b);
bool readU64(WireReader& r);
bool readPublicFields(WireReader& r, PublicKey& k);
void writePublicFields(const PublicKey& k, WireWriter& w);
// A public blob read for its form only (a certificate's signer is checked
// whole); publicNumbersBounded then decides its sizes, so that a caller
// can tell a key it does not hold from a damaged one.
bool readPublicBlob(const std::uint8_t* data, std::size_t size, PublicKey& out);
bool publicNumbersBounded(const PublicKey& k);
// A DSA group of the one size held: p of 1024 bits, q of 160, 0 < g < p.
bool dsaGroupBounded(const PublicKey& k);

}  // namespace detail
}  // namespace agentcore

#endif
