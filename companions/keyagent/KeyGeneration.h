// New key pairs made by the agent for its library: the extension
// "generate-key@glimmerpad" writes the private key file and its ".pub",
// each complete or not at all and readable by the user alone, and adds
// the key. The caller may be cut off at any moment (the manager
// terminates a generating thread when the user cancels), so the agent
// watches the calling thread and the connection and leaves nothing behind
// when either has gone.
#ifndef GKEYAGENT_KEYGENERATION_H
#define GKEYAGENT_KEYGENERATION_H

#include "RequestHandler.h"

#include <windows.h>

// ownerOnly: the security of a file no one but this user may open; it must
// outlive the handler.
void addKeyGeneration(agentcore::RequestHandler& handler, agentcore::KeyStore& store, SECURITY_ATTRIBUTES* ownerOnly);

#endif
