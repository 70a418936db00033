#include "TrayWindow.h"

#include "AgentLog.h"
#include "AgentResources.h"
#include "KeyUseNotice.h"
#include "ObjectWindow.h"
#include "TrayCommands.h"
#include "TrayIcon.h"

#include <cstdio>
#include <memory>
#include <utility>

namespace {

const UINT WM_AGENT_TRAY_CHANGED = WM_APP + 2;
const UINT WM_AGENT_TRAY_NOTICE = WM_APP + 3;  // notices wait in the context, the message carries none

struct Tray {
    AgentContext& context;
    HWND control;
    HICON unlockedIcon;
    HICON lockedIcon;
    UINT taskbarCreated;
    bool shown = false;
    // A command's dialog is open, or its request running: the menu waits
    // for it, and a command that comes meanwhile (a double click) follows it.
    bool busy = false;
    UINT deferred = 0;
};

std::string loaded(const Tray& tray, UINT id) {
    char text[256] = "";
    loadLanguageString(tray.context.texts, id, text, sizeof text);
    return text;
}

std::string tipText(const Tray& tray, bool locked) {
    char tip[256];
    std::snprintf(tip, sizeof tip, loaded(tray, locked ? IDS_TRAY_TIP_LOCKED : IDS_TRAY_TIP_UNLOCKED).c_str(),
                  loaded(tray, IDS_AGENT_TITLE).c_str(), unsigned(tray.context.store.size()));
    return tip;
}

HICON loadIcon(HINSTANCE instance, UINT id) {
    return static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(id), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                         GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
}

// The icon as the agent is now; added when the shell does not hold it yet
// (at the start, or after Explorer started again). Either way the other
// call is tried when the first fails: a shell announces a new taskbar
// without having lost its icons, and one that lost them says so only by
// refusing the change.
void showState(HWND window, Tray& tray) {
    bool locked = tray.context.store.locked();
    TrayLook look = {locked ? tray.lockedIcon : tray.unlockedIcon, tipText(tray, locked)};
    bool wasShown = tray.shown;
    auto add = [&] { return addTrayIcon(window, WM_AGENT_TRAY_ICON, look); };
    auto change = [&] { return changeTrayIcon(window, look); };
    tray.shown = wasShown ? change() || add() : add() || change();
    if (tray.shown != wasShown)
        logLine(tray.shown ? "notification icon shown" : "the notification area takes no icon; none shown");
    SetWindowTextA(window, look.tip.c_str());
    if (tray.shown)
        SetPropA(window, AGENT_TRAY_ICON_PROPERTY,
                 reinterpret_cast<HANDLE>(UINT_PTR(locked ? IDI_AGENT_LOCKED : IDI_AGENT_UNLOCKED)));
    else
        RemovePropA(window, AGENT_TRAY_ICON_PROPERTY);
}

void showNotice(HWND window, const Tray& tray, const KeyUseNotice& notice) {
    // Switched off since the signature: not shown.
    if (!tray.context.notifyKeyUse) return;
    bool shown = tray.shown && showTrayBalloon(window, notice.title, notice.text);
    logLine("key use notice for \"" + notice.keyName + "\" " + (shown ? "shown" : "not shown, no notification icon"));
}

void appendItem(HMENU menu, UINT command, const std::string& text, UINT flags = 0) {
    AppendMenuA(menu, MF_STRING | flags, command, text.c_str());
}

UINT lockItemText(const AgentContext& context) {
    if (context.store.locked()) return IDS_TRAY_UNLOCK;
    return context.store.agentPassphrase().empty() ? IDS_TRAY_LOCK_ASKING : IDS_TRAY_LOCK;
}

HMENU buildMenu(const Tray& tray) {
    HMENU menu = CreatePopupMenu();
    if (!menu) return nullptr;
    appendItem(menu, IDM_TRAY_OPEN_MANAGER, loaded(tray, IDS_TRAY_OPEN_MANAGER));
    appendItem(menu, IDM_TRAY_ADD_KEY, loaded(tray, IDS_TRAY_ADD_KEY));
    appendItem(menu, IDM_TRAY_LOCK, loaded(tray, lockItemText(tray.context)));
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    appendItem(menu, IDM_TRAY_NOTIFY_KEY_USE, loaded(tray, IDS_TRAY_NOTIFY_KEY_USE),
               tray.context.notifyKeyUse ? MF_CHECKED : MF_UNCHECKED);
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    appendItem(menu, IDM_TRAY_STOP_AGENT, loaded(tray, IDS_TRAY_STOP_AGENT));
    SetMenuDefaultItem(menu, IDM_TRAY_OPEN_MANAGER, FALSE);
    return menu;
}

void showMenu(HWND window, const Tray& tray) {
    HMENU menu = buildMenu(tray);
    if (!menu) return;
    POINT at;
    GetCursorPos(&at);
    // Without the foreground the menu would stay open when the user clicks
    // elsewhere; the posted message lets it close at once.
    SetForegroundWindow(window);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
    PostMessageA(window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

void onIcon(HWND window, Tray& tray, UINT mouseMessage) {
    if (tray.busy) {
        // The dialog of the command still running comes forward instead.
        SetForegroundWindow(GetLastActivePopup(window));
        return;
    }
    if (mouseMessage == WM_LBUTTONDBLCLK) PostMessageA(window, WM_COMMAND, IDM_TRAY_OPEN_MANAGER, 0);
    else if (mouseMessage == WM_LBUTTONUP || mouseMessage == WM_RBUTTONUP || mouseMessage == WM_CONTEXTMENU)
        showMenu(window, tray);
}

void onCommand(HWND window, Tray& tray, UINT command) {
    if (tray.busy) {
        tray.deferred = command;
        return;
    }
    tray.busy = true;
    switch (command) {
    case IDM_TRAY_OPEN_MANAGER:
        openKeyManager(tray.context, window);
        break;
    case IDM_TRAY_ADD_KEY:
        addKeyFromFile(tray.context, window);
        break;
    case IDM_TRAY_LOCK:
        switchLock(tray.context, window);
        break;
    case IDM_TRAY_NOTIFY_KEY_USE:
        switchKeyUseNotice(tray.context);
        break;
    case IDM_TRAY_STOP_AGENT:
        // The way the key manager stops the agent: every key is wiped.
        PostMessageA(tray.control, WM_CLOSE, 0, 0);
        break;
    }
    tray.busy = false;
    if (tray.deferred) PostMessageA(window, WM_COMMAND, std::exchange(tray.deferred, 0u), 0);
}

LRESULT dispatch(HWND window, Tray& tray, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == tray.taskbarCreated) {
        tray.shown = false;
        showState(window, tray);
        return 0;
    }
    switch (message) {
    case WM_AGENT_TRAY_ICON:
        onIcon(window, tray, UINT(lParam));
        return 0;
    case WM_AGENT_TRAY_CHANGED:
        showState(window, tray);
        return 0;
    case WM_AGENT_TRAY_NOTICE:
        for (KeyUseNotice notice; tray.context.keyUseNotices.pop(notice);) showNotice(window, tray, notice);
        return 0;
    case WM_COMMAND:
        onCommand(window, tray, LOWORD(wParam));
        return 0;
    case WM_DESTROY:
        if (tray.shown) removeTrayIcon(window);
        RemovePropA(window, AGENT_TRAY_ICON_PROPERTY);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

HWND createTrayWindow(AgentContext& context, HINSTANCE instance, HWND controlWindow) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = objectWindowProc<Tray, dispatch>;
    wc.hInstance = instance;
    wc.lpszClassName = AGENT_TRAY_WINDOW_CLASS;
    if (!RegisterClassA(&wc)) return nullptr;
    auto* tray = new Tray{context, controlWindow, loadIcon(instance, IDI_AGENT_UNLOCKED),
                          loadIcon(instance, IDI_AGENT_LOCKED), RegisterWindowMessageA("TaskbarCreated")};
    HWND window =
        CreateWindowExA(0, AGENT_TRAY_WINDOW_CLASS, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, tray);
    if (!window) {
        delete tray;
        return nullptr;
    }
    showState(window, *tray);
    return window;
}

void destroyTrayWindow(HWND window) {
    if (!window) return;
    auto* tray = reinterpret_cast<Tray*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    DestroyWindow(window);
    if (!tray) return;
    DestroyIcon(tray->unlockedIcon);
    DestroyIcon(tray->lockedIcon);
    delete tray;
}

void announceTrayChange(HWND window) {
    if (window) PostMessageA(window, WM_AGENT_TRAY_CHANGED, 0, 0);
}

void announceKeyUse(AgentContext& context, const agentcore::KeyInfo& key,
                    const agentcore::SignDestination& destination, std::uint64_t clientProcess) {
    if (!context.notifyKeyUse) return;
    ConfirmQuestion question = keyUseQuestion(key, destination, clientProcess);
    HWND window = context.trayWindow;
    if (!window) return;
    context.keyUseNotices.push(describeKeyUse(context.texts, question));
    PostMessageA(window, WM_AGENT_TRAY_NOTICE, 0, 0);
}
