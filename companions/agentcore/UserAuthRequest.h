// What ssh asks a key to sign when it logs in with it: the session's
// identifier and SSH_MSG_USERAUTH_REQUEST (RFC 4252 section 7), by the
// "publickey" method or by "publickey-hostbound-v00@openssh.com", which
// names the server's host key as well. A key held for some destinations
// signs nothing else, so that the agent can tell where the signature goes.
#ifndef AGENTCORE_USERAUTHREQUEST_H
#define AGENTCORE_USERAUTHREQUEST_H

#include "Bytes.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace agentcore {

struct UserAuthRequest {
    Bytes sessionId;
    std::string user;
    bool hostBound = false;
    Bytes hostKey;  // the server's, when hostBound
};

// True when data is exactly such a request for the key of keyBlob: a
// session identifier, the service "ssh-connection", a signature to follow,
// an algorithm of the key's own type and the key itself, nothing after.
bool readUserAuthRequest(const std::uint8_t* data, std::size_t size, const Bytes& keyBlob, UserAuthRequest& out);

}  // namespace agentcore

#endif
