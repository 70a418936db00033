// Finding the agent library OPENSSH.DLL beside the executable and its
// factory. Knows nothing of the window that uses the interface.
#ifndef GAGENT_AGENTLIBRARY_H
#define GAGENT_AGENTLIBRARY_H

#include "IAgent.h"

// The library from the executable's own folder; null when it is missing or
// its path would not fit.
HMODULE loadAgentLibrary();

// The library's `newIAgent` export; null when the library lacks it.
NewIAgentFunction findAgentFactory(HMODULE library);

// Destroys `agent` (through the library's own destructor slot) and then
// unloads the library whose code it runs; either may be null already.
void releaseAgentLibrary(IAgent *&agent, HMODULE &library);

#endif
