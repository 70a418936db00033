// The object's code lives in the library, so the object always goes before
// the library does.
#include "AgentLibrary.h"

#include "ModuleDirectory.h"
#include "TextBuffer.h"

HMODULE loadAgentLibrary()
{
    char path[MAX_PATH];
    getModuleDirectory(path);
    // A directory too long for the name counts as a library that is not there.
    if (!appendText(path, sizeof path, AGENT_LIBRARY_NAME))
        return NULL;
    return LoadLibraryA(path);
}

NewIAgentFunction findAgentFactory(HMODULE library)
{
    return reinterpret_cast<NewIAgentFunction>(
        reinterpret_cast<void *>(GetProcAddress(library, NEW_IAGENT_EXPORT)));
}

void releaseAgentLibrary(IAgent *&agent, HMODULE &library)
{
    if (agent != NULL) {
        agent->destroy(1);
        agent = NULL;
    }
    if (library != NULL) {
        FreeLibrary(library);
        library = NULL;
    }
}
