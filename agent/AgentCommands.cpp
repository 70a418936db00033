// Commands that only talk to the agent process: the three policy switches
// and stopping the agent. Nothing here is remembered: the agent keeps the
// policies, and the settings file gives their starting marks next time.
#include "AgentChannel.h"
#include "KeyManagerDialog.h"
#include "resource.h"

int KeyManagerDialog::togglePolicy(INT32 &flag, int commandId, UINT agentMessage)
{
    HWND agentWindow = findAgentWindow();
    if (agentWindow == NULL)
        return 0;
    flag = flag == 0 ? 1 : 0;
    setMenuItemChecked(commandId, flag != 0);
    SendMessageA(agentWindow, agentMessage, 0, flag);
    return 1;
}

int KeyManagerDialog::onToggleConfirmKeyOp()
{
    return togglePolicy(confirmKeyOp, IDM_CONFIRM_KEY_OP, WM_AGENT_SET_CONFIRM);
}

int KeyManagerDialog::onToggleAllowAdd()
{
    return togglePolicy(allowAdd, IDM_ALLOW_ADD, WM_AGENT_SET_ALLOW_ADD);
}

int KeyManagerDialog::onToggleAllowDelete()
{
    return togglePolicy(allowDelete, IDM_ALLOW_DELETE, WM_AGENT_SET_ALLOW_DELETE);
}

int KeyManagerDialog::onStopAgent()
{
    HWND agentWindow = findAgentWindow();
    if (agentWindow != NULL)
        PostMessageA(agentWindow, WM_CLOSE, 0, 0);
    PostMessageA(window, WM_CLOSE, 0, 0);
    return 1;
}
