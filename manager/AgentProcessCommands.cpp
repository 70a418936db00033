// Commands that only concern the agent process: the three policy switches,
// stopping the agent and opening its log. Nothing here is remembered: the
// agent keeps the policies, and the settings file gives their starting
// marks next time.
#include "AgentChannel.h"
#include "KeyManagerDialog.h"
#include "LocalConfiguration.h"
#include "resource.h"

#include <shellapi.h>

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

int KeyManagerDialog::onViewAgentLog()
{
    char path[MAX_PATH];
    getAgentLogPath(path);
    // A missing file or association is the shell's to report.
    ShellExecuteA(NULL, "open", path, NULL, NULL, SW_SHOWNORMAL);
    return 1;
}
