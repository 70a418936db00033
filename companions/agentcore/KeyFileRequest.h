// "add-key-file@glimmerpad": the agent reads a private key file itself, so
// that its library carries no crypto and a key's secret never passes
// through the key manager's process.
//
// Body: string path, string passphrase (empty: none known yet).
// Reply: SSH_AGENT_SUCCESS and a uint32 outcome, for every outcome; a
// malformed body is the only extension failure.
#ifndef AGENTCORE_KEYFILEREQUEST_H
#define AGENTCORE_KEYFILEREQUEST_H

#include "RequestHandler.h"

namespace agentcore {

enum KeyFileAddOutcome : std::uint32_t {
    KEYFILE_ADDED = 0,
    KEYFILE_NEEDS_PASSPHRASE = 1,
    KEYFILE_WRONG_PASSPHRASE = 2,
    KEYFILE_UNREADABLE = 3,  // no file, not a key, unsupported, damaged
    KEYFILE_REFUSED = 4,     // the agent is locked or its policy forbids adding
};

// The key's comment names it; a file without one (PEM, PKCS#8) lends its
// own name. A certificate "<path>-cert.pub" for the key is added with it;
// a ".pub" file chosen stands for the private key file beside it.
RequestHandler::Extension addKeyFileExtension(KeyStore& store);

}  // namespace agentcore

#endif
