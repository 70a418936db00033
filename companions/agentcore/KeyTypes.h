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

const Curve* curveOf(KeyAlgorithm a);
bool typeFromName(const std::string& name, KeyAlgorithm& a, bool& cert);
unsigned bitLength(const Bytes& magnitude);
bool readU64(WireReader& r);
bool readPublicFields(WireReader& r, PublicKey& k);
void writePublicFields(const PublicKey& k, WireWriter& w);

}  // namespace detail
}  // namespace agentcore

#endif
