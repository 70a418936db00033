// "add-key-file@glimmerpad": the agent reads a private key file itself, so
// that its library carries no crypto and a key's secret never passes
// through the key manager's process.
//
// Body: string path, string passphrase (empty: none known yet).
// Reply: SSH_AGENT_SUCCESS and a uint32 outcome, for every outcome; a
// malformed body is the only extension failure.
//
// Nothing is opened before the path has passed the agent's check and the
// store takes keys at all: a locked agent reads no file, so a file's
// passphrase cannot be tried against it meanwhile.
#ifndef AGENTCORE_KEYFILEREQUEST_H
#define AGENTCORE_KEYFILEREQUEST_H

#include "RequestHandler.h"

namespace agentcore {

enum KeyFileAddOutcome : std::uint32_t {
    KEYFILE_ADDED = 0,
    KEYFILE_NEEDS_PASSPHRASE = 1,
    KEYFILE_WRONG_PASSPHRASE = 2,
    KEYFILE_UNREADABLE = 3,  // no file, not a key, unsupported, damaged, a path the agent does not open
    KEYFILE_REFUSED = 4,     // the agent is locked or its policy forbids adding
};

// Why the agent will not open a path, as the log says it; null when it
// will. Called before anything is touched (LocalPath.h judges the text).
using PathRefusal = std::function<const char*(const std::string& path)>;

// The key's comment names it; a file without one (PEM, PKCS#8) lends its
// own name. A certificate "<path>-cert.pub" for the key is added with it;
// a ".pub" file chosen stands for the private key file beside it.
RequestHandler::Extension addKeyFileExtension(KeyStore& store, PathRefusal refusal);

}  // namespace agentcore

#endif
