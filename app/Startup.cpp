// Program entry: one copy per desktop, one modal main window.
#include <windows.h>
#include <commctrl.h>

#include "DialogBase.h"
#include "KeyManagerDialog.h"
#include "UiLanguage.h"
#include "resource.h"

// Brings an already running copy forward; answers whether there was one.
static bool activateRunningCopy(const char *title)
{
    HWND running = FindWindowA(NULL, title);
    if (running == NULL || !IsWindow(running))
        return false;
    if (IsIconic(running))
        OpenIcon(running);
    else
        SetForegroundWindow(GetLastActivePopup(running));
    return true;
}

static bool registerMainWindowClass(HINSTANCE instance, HMODULE resources, const char *className)
{
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = reinterpret_cast<WNDPROC>(reinterpret_cast<void *>(sharedDialogProc));
    windowClass.cbWndExtra = DLGWINDOWEXTRA;
    windowClass.hInstance = instance;
    windowClass.hIcon = static_cast<HICON>(
        LoadImageA(resources, MAKEINTRESOURCEA(IDI_KEY), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    windowClass.hCursor = LoadCursorA(NULL, MAKEINTRESOURCEA(32512)); // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = className;
    return RegisterClassA(&windowClass) != 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    HMODULE resources = getResourceModule();
    // Without the module there is no title to look for: an empty title
    // would match an unrelated window. The user has been told already.
    if (resources == NULL)
        return 0;

    char title[256];
    if (LoadStringA(resources, IDS_APP_TITLE, title, sizeof title) == 0)
        return 0;

    if (activateRunningCopy(title))
        return 0;

    InitCommonControls();
    appInstance = instance;
    if (!registerMainWindowClass(instance, resources, title))
        return 0;

    KeyManagerDialog keyManager(getResourceModule(), GetDesktopWindow());
    DialogBoxParamA(keyManager.resourceModule, MAKEINTRESOURCEA(IDD_KEY_MANAGER),
                    keyManager.parentWindow, sharedDialogProc, reinterpret_cast<LPARAM>(&keyManager));
    return 0;
}
