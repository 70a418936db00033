// Where a key may be used, as ssh-add -h tells the agent: a list of hops,
// each from a host (or this machine) to a user at a host, every host named
// by its keys or by the authorities that certify them. Read from a
// constrained add with bounds on every count and length; held with the key
// and wiped with it.
#ifndef AGENTCORE_DESTINATIONS_H
#define AGENTCORE_DESTINATIONS_H

#include "Bytes.h"
#include "Key.h"
#include "Wire.h"

#include <cstddef>
#include <string>
#include <vector>

namespace agentcore {

struct HopHostKey {
    Bytes blob;  // a plain key, never a certificate
    bool authority = false;
};

struct ConstraintHop {
    // A pattern of user names; empty: any user (always empty for the host
    // a hop starts from).
    std::string user;
    // Empty only for the hop's start on this machine.
    std::string host;
    std::vector<HopHostKey> keys;

    ConstraintHop() = default;
    ConstraintHop(const ConstraintHop&) = default;
    ConstraintHop& operator=(const ConstraintHop&) = default;
    ~ConstraintHop() {
        wipeMemory(&user[0], user.size());
        wipeMemory(&host[0], host.size());
    }
};

struct DestinationConstraint {
    ConstraintHop from;
    ConstraintHop to;
};

// Empty: the key goes wherever its client takes it.
using Destinations = std::vector<DestinationConstraint>;

// More is refused. Each -h of ssh-add makes one constraint; a hop carries
// the host's keys from known_hosts, a handful.
const std::size_t kMaxDestinationConstraints = 256;
const std::size_t kMaxHopKeys = 64;
const std::size_t kMaxHopName = 255;

// Reads the body of the constraint (what follows its name). Malformed: a
// length that runs past its field; Refused: well formed but beyond the
// bounds, empty, inconsistent (a start with a user, or with a host but no
// keys; a destination without a host or keys), with reserved data, a name
// with a NUL byte, or a key this agent does not know or hold.
AddResult readDestinations(WireReader& in, Destinations& out);

}  // namespace agentcore

#endif
