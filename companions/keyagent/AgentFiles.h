// The agent's files: the policies in the settings file "gAgent" of the key
// folder (read by the manager too) and the agent passphrase's verifier in
// the agent's own per-user file. Both are replaced whole, never edited in
// place, so that a crash leaves the old file or the new one.
#ifndef GKEYAGENT_AGENTFILES_H
#define GKEYAGENT_AGENTFILES_H

#include "KeyStore.h"

#include <string>

// A new file beside the old one, flushed, then moved over it in one step.
bool replaceFile(const std::string& path, const std::string& content);

agentcore::Policies loadPolicies();
bool savePolicies(const agentcore::Policies& policies);

// The verifier's file; empty when the user's application data folder is
// unknown. An empty verifier removes the file.
std::string verifierPath();
agentcore::Verifier loadVerifier(const std::string& path);
bool saveVerifier(const std::string& path, const agentcore::Verifier& verifier);

#endif
