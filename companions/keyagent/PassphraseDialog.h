// The agent's own small passphrase dialog, for what the notification
// icon's menu asks: a key file's passphrase, the passphrase that unlocks
// the agent, or a new one to lock it with, typed twice.
#ifndef GKEYAGENT_PASSPHRASEDIALOG_H
#define GKEYAGENT_PASSPHRASEDIALOG_H

#include "Bytes.h"
#include "LanguageResources.h"

#include <windows.h>

#include <string>

struct PassphraseQuestion {
    std::string prompt;
    bool twice = false;  // typed again, and both must match
};

// False when the user cancels. An empty passphrase is never answered; the
// caller wipes `passphrase`, the dialog every copy of its own.
bool askPassphrase(const LanguageResources& texts, HWND owner, const PassphraseQuestion& question,
                   agentcore::Bytes& passphrase);

#endif
