// The agent's files: the policies and the agent's notice setting in the
// settings file "gAgent" of the key folder (the policies read by the
// manager too) and the agent passphrase's verifier in
// the agent's own per-user file. Both are replaced whole, never edited in
// place, so that a crash leaves the old file or the new one.
#ifndef GKEYAGENT_AGENTFILES_H
#define GKEYAGENT_AGENTFILES_H

#include "KeyStore.h"

#include <string>

// A new file beside the old one, flushed, then moved over it in one step.
bool replaceFile(const std::string& path, const std::string& content);

// notifyKeyUse, when given, receives the notice setting (off by default).
agentcore::Policies loadPolicies(bool* notifyKeyUse = nullptr);
// The whole file, both kinds of setting: neither may lose the other.
bool saveSettings(const agentcore::Policies& policies, bool notifyKeyUse);

// The verifier's file; empty when the user's application data folder is
// unknown. An empty verifier removes the file.
std::string verifierPath();
agentcore::Verifier loadVerifier(const std::string& path);
bool saveVerifier(const std::string& path, const agentcore::Verifier& verifier);

#endif
