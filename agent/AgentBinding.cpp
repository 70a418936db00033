// Binding of the agent library: OPENSSH.DLL beside the executable hands out
// the IAgent object. The object's code lives in the library, so the object
// always goes before the library does.
#include "AgentChannel.h"
#include "IAgent.h"
#include "InstallerSupport.h"
#include "KeyManagerDialog.h"
#include "ModuleDirectory.h"
#include "TextBuffer.h"
#include "resource.h"

bool KeyManagerDialog::bindAgentLibrary()
{
    char path[MAX_PATH];
    getModuleDirectory(path);
    // A directory too long for the name counts as a library that is not there.
    if (!appendText(path, sizeof path, AGENT_LIBRARY_NAME))
        return false;

    agentLibrary = LoadLibraryA(path);
    if (agentLibrary == NULL)
        return false;

    NewIAgentFunction newIAgent = reinterpret_cast<NewIAgentFunction>(
        reinterpret_cast<void *>(GetProcAddress(agentLibrary, NEW_IAGENT_EXPORT)));
    if (newIAgent == NULL) {
        releaseAgent();
        return false;
    }

    IAgent *created = NULL;
    AgentStatus status = newIAgent(AGENT_INTERFACE_ID, &created);
    if (status == AGENT_E_UNAVAILABLE) {
        releaseAgent();
        askForRepairAndQuit();
        return false;
    }
    if (status == AGENT_OK && created != NULL) {
        if (created->initialize()) {
            agent = created;
            return true;
        }
        // Not stored, so destroyed here: leaking it would leave the
        // library's object alive after the library is gone.
        created->destroy(1);
        EndDialog(window, 0);
        return false;
    }
    releaseAgent();
    return false;
}

void KeyManagerDialog::askForRepairAndQuit()
{
    char question[MAX_PATH];
    char caption[64];
    loadString(IDS_AGENT_UNAVAILABLE, question, sizeof question);
    loadString(IDS_APP_TITLE, caption, sizeof caption);
    if (MessageBoxA(window, question, caption, MB_ICONWARNING | MB_YESNO) == IDYES)
        offerInstallationRepair();

    HWND agentWindow = findAgentWindow();
    if (agentWindow != NULL)
        PostMessageA(agentWindow, WM_CLOSE, 0, 0);
    PostQuitMessage(0);
}

void KeyManagerDialog::releaseAgent()
{
    if (agent != NULL) {
        agent->destroy(1);
        agent = NULL;
    }
    if (agentLibrary != NULL) {
        FreeLibrary(agentLibrary);
        agentLibrary = NULL;
    }
}
