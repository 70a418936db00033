// PuTTY's way to the agent: a hidden window "Pageant" that takes one agent
// message at a time through a file mapping the client names, so that PuTTY,
// Plink, WinSCP and FileZilla use the keys and policies of the pipe. It is
// a public way in, like the public pipe: the agent protocol and its
// standard extensions only, and its clients are not verified.
#ifndef KEYAGENT_PAGEANT_H
#define KEYAGENT_PAGEANT_H

#include <windows.h>

#include "RequestHandler.h"

enum class PageantStart { Serving, TakenByAnother, Failed };

// Opens the window on a thread of its own; another program's Pageant
// window is left to serve alone. The handler and the SID must outlive
// stopPageant.
PageantStart startPageant(agentcore::RequestHandler& handler, PSID userSid, HINSTANCE instance);

// Closes the window; a request still being answered is given a few seconds.
void stopPageant();

#endif
