// The agent in the notification area: a hidden window of its own that
// keeps the icon (locked or unlocked, the tooltip naming the agent, its
// lock and its number of keys), shows its menu (TrayCommands.h) and the
// notice on each key use when the user asked for it. It puts the icon
// back when Explorer starts again, and takes it away when it goes.
//
// What the icon shows is also the window's own state, readable by any
// program on the desktop as the icon itself is: its title is the
// tooltip, and its property AGENT_TRAY_ICON_PROPERTY the icon's resource
// id while the shell holds the icon.
#ifndef GKEYAGENT_TRAYWINDOW_H
#define GKEYAGENT_TRAYWINDOW_H

#include "AgentContext.h"

#include <windows.h>

#define AGENT_TRAY_WINDOW_CLASS "Glimmerpad_KeyAgent_TrayWindow"
#define AGENT_TRAY_ICON_PROPERTY "Glimmerpad_TrayIcon"
// Posted by the shell for the icon: lParam the mouse message.
#define WM_AGENT_TRAY_ICON (WM_APP + 1)

// Owned by the calling thread, whose message loop runs it. Stop Agent
// closes `controlWindow`, the way the key manager stops the agent.
HWND createTrayWindow(AgentContext& context, HINSTANCE instance, HWND controlWindow);
void destroyTrayWindow(HWND window);

// From any thread: the lock or the keys changed.
void announceTrayChange(HWND window);
// From any thread: a key signed unasked; shown when the user asked for it.
void announceKeyUse(AgentContext& context, const agentcore::KeyInfo& key,
                    const agentcore::SignDestination& destination, std::uint64_t clientProcess);

#endif
