// The hidden window by which the key manager finds the agent and sends it
// what the manager's window messages carry (AgentChannel.h): reset, the
// agent passphrase, the three policies, the lock's change and WM_CLOSE.
// A thin adapter: each message becomes a call on the same store that the
// pipes serve.
#ifndef GKEYAGENT_CONTROLWINDOW_H
#define GKEYAGENT_CONTROLWINDOW_H

#include "AgentContext.h"

#include <windows.h>

// The window, owned by the calling thread, whose message loop runs it; its
// destruction ends that loop. Null when it cannot be made.
HWND createControlWindow(AgentContext& context, HINSTANCE instance);

#endif
