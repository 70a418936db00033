// The question a signature asks the user when its key or the agent's
// policy wants confirmation. Callable from any thread: the dialog runs on
// a thread of its own, so the caller's thread (a pipe client's, another
// protocol's window thread) only waits, and other clients go on meanwhile.
#ifndef GKEYAGENT_CONFIRMPROMPT_H
#define GKEYAGENT_CONFIRMPROMPT_H

#include "LanguageResources.h"
#include "RequestHandler.h"

#include <cstdint>
#include <string>

struct ConfirmQuestion {
    std::string keyName;
    std::string fingerprint;
    std::string program;  // empty: the agent could not name it
    DWORD processId = 0;  // shown beside the program
    bool verified = true;  // false: shown as not verified, program or not
    agentcore::SignDestination destination;  // where the signature goes, as far as known
};

// The question about a key for the client process of a request: its
// program when the agent can name it; a client on PuTTY's path
// (kUnverifiedClient) as not verified.
ConfirmQuestion keyUseQuestion(const agentcore::KeyInfo& key, const agentcore::SignDestination& destination,
                               std::uint64_t clientProcess);

// The program as the question names it: its path and process, or why it
// has none.
std::string programText(const LanguageResources& resources, const ConfirmQuestion& question);

// True only for the user's Yes within timeoutMs; No, closing the dialog,
// the time running out or a dialog that cannot be shown all deny.
bool askToConfirm(const LanguageResources& resources, const ConfirmQuestion& question, DWORD timeoutMs);

#endif
