// Whether a key held for some destinations may be used on one connection,
// judged from the session bindings the connection has made: each binding a
// hop (the host's key, the session with it, whether the agent was only
// forwarded there), the last one the host the client logs in to, unless
// the agent was forwarded there too. Every hop of the chain must be one
// the key's destinations permit, from this machine onwards.
#ifndef AGENTCORE_DESTINATIONMATCH_H
#define AGENTCORE_DESTINATIONMATCH_H

#include "Bytes.h"
#include "Destinations.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace agentcore {

// One session-bind@openssh.com of a connection, its host's signature
// already checked.
struct SessionBinding {
    Bytes hostKey;
    Bytes sessionId;
    bool forwarding;
};

// The key may be seen (listed, replaced, removed) on a connection bound so:
// every hop of the chain is permitted, and where the chain ends at a host
// the agent was forwarded to, the key may go on from it. A connection never
// bound does not restrict the key. now: seconds since 1970, for host
// certificates.
bool permittedOn(const Destinations& where, const std::vector<SessionBinding>& bindings, std::uint64_t now);

// Why the key may not sign data on a connection bound so; nullptr when it
// may, with host set to the name of the destination it signs for. It signs
// only a login (see UserAuthRequest.h) on a bound connection, for a user
// the destination allows, in the session of the last binding, and, on a
// forwarded connection, naming that binding's host key.
const char* loginRefusal(const Destinations& where, const std::vector<SessionBinding>& bindings,
                         const Bytes& keyBlob, const std::uint8_t* data, std::size_t size, std::uint64_t now,
                         std::string& host);

// OpenSSH's patterns: '*' any run of characters, '?' any one.
bool matchesPattern(const std::string& text, const std::string& pattern);

}  // namespace agentcore

#endif
