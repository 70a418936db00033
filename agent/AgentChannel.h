// Messages between the key manager and the running agent process, which
// owns a hidden top-level window of the class below.
#ifndef GAGENT_AGENTCHANNEL_H
#define GAGENT_AGENTCHANNEL_H

#include <windows.h>

#define AGENT_WINDOW_CLASS "Glimmerpad_KeyAgent_HiddenWindow"
#define AGENT_REFRESH_EVENT "Agent_Refresh_Event"

enum {
    WM_AGENT_RESET = WM_USER + 2,            // manager to agent, sent
    COPYDATA_AGENT_PASSPHRASE = WM_USER + 3, // dwData of the passphrase WM_COPYDATA
    WM_AGENT_REFRESH = WM_USER + 4,          // agent side to manager: the key set changed
    WM_AGENT_SET_CONFIRM = WM_USER + 5,      // lParam 0 or 1
    WM_AGENT_SET_ALLOW_ADD = WM_USER + 6,    // lParam 0 or 1
    WM_AGENT_SET_ALLOW_DELETE = WM_USER + 7, // lParam 0 or 1
    WM_AGENT_LOCK_CHANGED = WM_USER + 8
};

// The agent program beside the agent library, how the library starts it,
// and the exit code by which it says that another program serves its pipe.
#define AGENT_PROGRAM_NAME "gkeyagent.exe"
#define AGENT_STARTED_BY_LIBRARY "--started-by-library"
#define AGENT_DEFAULT_PIPE "\\\\.\\pipe\\openssh-ssh-agent"
enum { AGENT_EXIT_PIPE_TAKEN = 2 };

// The passphrase payload: two NUL-terminated texts of at most 127
// characters in fixed 256-byte fields.
struct AgentPassphrasePayload {
    char currentPassphrase[256];
    char newPassphrase[256];
};
static_assert(sizeof(AgentPassphrasePayload) == 512, "the agent reads exactly 512 bytes");

// The agent process's window, looked up afresh at every use; null when no
// agent runs.
HWND findAgentWindow();

#endif
