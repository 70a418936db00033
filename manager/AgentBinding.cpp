// Binding of the agent library at initialisation: every way the library
// can fail the window, and the repair offered when it says it cannot work.
#include "AgentChannel.h"
#include "AgentLibrary.h"
#include "InstallerSupport.h"
#include "KeyManagerDialog.h"
#include "resource.h"

bool KeyManagerDialog::bindAgentLibrary()
{
    agentLibrary = loadAgentLibrary();
    if (agentLibrary == NULL)
        return false;

    NewIAgentFunction newIAgent = findAgentFactory(agentLibrary);
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
    releaseAgentLibrary(agent, agentLibrary);
}
