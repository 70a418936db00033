// What the notification icon's menu does. Each command goes through the
// agent's own request handler on the manager's channel, as the key
// manager's would: the store's rules, its guess brake and its log apply
// to the menu exactly as to every other way in.
#ifndef GKEYAGENT_TRAYCOMMANDS_H
#define GKEYAGENT_TRAYCOMMANDS_H

#include "AgentContext.h"

#include <windows.h>

// `owner` is the window the commands' dialogs and messages belong to.
void openKeyManager(AgentContext& context, HWND owner);
void addKeyFromFile(AgentContext& context, HWND owner);
// Unlocks a locked agent; locks an unlocked one, with the agent passphrase
// when one is set, else with one the user types twice.
void switchLock(AgentContext& context, HWND owner);
void switchKeyUseNotice(AgentContext& context);

#endif
