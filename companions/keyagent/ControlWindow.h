// The hidden window by which the key manager finds the agent and sends it
// what the manager's window messages carry (AgentChannel.h): reset, the
// agent passphrase, the three policies, the lock's change and WM_CLOSE.
// A thin adapter: each message becomes a call on the same store that the
// pipes serve, under the same rules.
//
// Any program on the desktop can send a window message, so the manager's
// messages count only while a key manager has attached its window through
// the manager's pipe (AttachedWindows.h): reset and the three policies
// while any such window is there, the agent passphrase only when its
// wParam names one. The passphrase itself is checked by the store alone,
// which brakes guessing for every way in alike. Anything else is refused,
// logged, and answered 0.
#ifndef GKEYAGENT_CONTROLWINDOW_H
#define GKEYAGENT_CONTROLWINDOW_H

#include "AgentContext.h"

#include <windows.h>

// The window, owned by the calling thread, whose message loop runs it; its
// destruction ends that loop. Null when it cannot be made.
HWND createControlWindow(AgentContext& context, HINSTANCE instance);

#endif
