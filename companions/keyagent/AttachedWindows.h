// The key manager's windows, attached through the manager's pipe
// ("attach-window@glimmerpad"), which only the agent library opens: each
// is told of every change of the key set by a posted WM_AGENT_REFRESH,
// and only while one is there does the control window take the manager's
// messages (ControlWindow.h). A window must belong to the process at the
// other end of that pipe, whose user the pipe server has read from the
// token it lends: no token of the window's own process is needed, so an
// elevated manager counts too. It counts while it exists in that process;
// a handle Windows has given to another process's window since does not.
#ifndef GKEYAGENT_ATTACHEDWINDOWS_H
#define GKEYAGENT_ATTACHEDWINDOWS_H

#include "RequestHandler.h"

#include <windows.h>

#include <mutex>
#include <vector>

class AttachedWindows {
public:
    // False for a window that is not there or not of that process.
    bool attach(HWND window, DWORD clientProcess);
    // Whether this window is attached and still counts.
    bool holds(HWND window);
    // Whether any attached window still counts.
    bool anyHeld();
    // The first attached window that still counts; null when none does.
    HWND firstHeld();
    // Posted, never sent: the agent must not wait for a manager that may
    // be waiting on the refresh event itself. Windows gone are dropped.
    void announceChange();

private:
    struct Attached {
        HWND window;
        DWORD process;
    };
    static bool counts(const Attached& attached);

    std::mutex mutex_;
    std::vector<Attached> windows_;
};

// The extension: two uint32, the window handle's high and low halves.
agentcore::RequestHandler::Extension attachWindowExtension(AttachedWindows& windows);

#endif
