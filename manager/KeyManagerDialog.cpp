#include "KeyManagerDialog.h"

#include "UiLanguage.h"
#include "WindowPlacement.h"
#include "resource.h"

KeyManagerDialog::KeyManagerDialog(HMODULE module, HWND owner)
    : DialogBase(module, owner), statusBar(NULL), menu(NULL), keyList(NULL),
      allowAdd(1), allowDelete(1), confirmKeyOp(0), restrictedMode(0)
{
    helpContextId = 1000;
    titleText[0] = '\0';
    minColumnWidth[0] = minColumnWidth[1] = minColumnWidth[2] = 0;
    // The agent side may have created the event already; opening it then
    // leaves its state alone.
    refreshEvent = CreateEventA(NULL, TRUE, TRUE, "Agent_Refresh_Event");
}

INT_PTR KeyManagerDialog::dialogProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SHOWWINDOW:
        forceForeground(window);
        return 1;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 1;
    case WM_CLOSE:
        // The main window ends by destruction, not EndDialog: WM_DESTROY
        // then ends the modal loop with the quit message.
        DestroyWindow(window);
        return 1;
    case WM_MENUSELECT:
        showMenuHelp(wParam, lParam);
        return 1;
    default:
        return DialogBase::dialogProc(message, wParam, lParam);
    }
}

int KeyManagerDialog::onInitDialog(HWND)
{
    LoadStringA(resourceModule, IDS_APP_TITLE, titleText, sizeof titleText);
    SetWindowTextA(window, titleText);

    HANDLE icon = LoadImageA(getResourceModule(), MAKEINTRESOURCEA(IDI_KEY), IMAGE_ICON, 16, 16,
                             LR_DEFAULTCOLOR);
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));

    menu = LoadMenuA(resourceModule, MAKEINTRESOURCEA(IDR_MAIN_MENU));
    SetMenu(window, menu);

    createStatusBar();
    centerWindow(window, parentWindow);
    return 1;
}

void KeyManagerDialog::createStatusBar()
{
    // Zero size: the bar docks itself at the bottom edge.
    statusBar = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE | WS_BORDER, 0, 0, 0,
                                0, window, NULL, resourceModule, NULL);
}

int KeyManagerDialog::onCommand(unsigned id, HWND, unsigned)
{
    switch (id) {
    case IDM_EXIT:
        return onExit();
    default:
        return 0;
    }
}

int KeyManagerDialog::onExit()
{
    PostMessageA(window, WM_CLOSE, 0, 0);
    return 1;
}

void KeyManagerDialog::showMenuHelp(WPARAM wParam, LPARAM lParam)
{
    if (HIWORD(wParam) == 0xFFFF && lParam == 0) {
        SendMessageA(statusBar, SB_SIMPLE, FALSE, 0);
        return;
    }
    // Every kind of item is looked up by its id; a drop-down reports its
    // position instead, and position 0 must not clear the line.
    UINT stringId = LOWORD(wParam);
    if (stringId == 0)
        return;
    char helpLine[256];
    if (LoadStringA(resourceModule, stringId, helpLine, sizeof helpLine) == 0)
        helpLine[0] = '\0';
    SendMessageA(statusBar, SB_SIMPLE, TRUE, 0);
    SendMessageA(statusBar, SB_SETTEXTA, SB_SIMPLEID | SBT_NOBORDERS,
                 reinterpret_cast<LPARAM>(helpLine));
}
