// The key manager's windows, attached through the manager's pipe
// ("attach-window@glimmerpad"): each is told of every change of the key
// set by a posted WM_AGENT_REFRESH.
#ifndef GKEYAGENT_ATTACHEDWINDOWS_H
#define GKEYAGENT_ATTACHEDWINDOWS_H

#include "RequestHandler.h"

#include <windows.h>

#include <mutex>
#include <vector>

class AttachedWindows {
public:
    // False for a window that is not there.
    bool attach(HWND window);
    // Posted, never sent: the agent must not wait for a manager that may
    // be waiting on the refresh event itself. Windows gone are dropped.
    void announceChange();

private:
    std::mutex mutex_;
    std::vector<HWND> windows_;
};

// The extension: two uint32, the window handle's high and low halves.
agentcore::RequestHandler::Extension attachWindowExtension(AttachedWindows& windows);

#endif
