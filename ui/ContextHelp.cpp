#include "ContextHelp.h"

#include "DialogBase.h"
#include "ModuleDirectory.h"
#include "TextBuffer.h"
#include "UiLanguage.h"

const INT32 HelpIdTable[][2] = {
    {111, 2000}, {112, 2001}, {113, 2002}, {114, 2003}, {136, 2004}, {119, 2005},
    {120, 2015}, {166, 2006}, {167, 2007}, {172, 2008}, {173, 2008}, {174, 2009},
    {175, 2009}, {176, 2010}, {177, 2010}, {142, 2011}, {146, 2011}, {143, 2012},
    {147, 2012}, {144, 2013}, {148, 2013}, {141, 2014}, {-1, 2016},  {163, 2016},
    {205, 2017}, {206, 2017}, {0, 0},
};

// A row whose topic is this matches in What's This mode but shows nothing.
static const INT32 NO_POPUP = -1;

// "<exe dir>Help\<language folder>\gagent.hlp", or 0 when the name of the
// executable or the whole path does not fit in MAX_PATH bytes: a cut path
// names some other file, or a folder, and no help is better than that.
static int composeHelpFilePath(char *path)
{
    // appInstance is null until start-up has stored it, which names the
    // executable just the same.
    return getDirectoryOfModule(appInstance, path) && appendText(path, MAX_PATH, "Help\\") &&
           appendText(path, MAX_PATH, languageFolder(getUiLanguage())) &&
           appendText(path, MAX_PATH, "\\gagent.hlp");
}

BOOL showHelp(HWND window, UINT command, ULONG_PTR data)
{
    char path[MAX_PATH];
    if (!composeHelpFilePath(path))
        return FALSE;
    return WinHelpA(window, path, command, data);
}

int DialogBase::onHelp(HELPINFO *helpInfo)
{
    showHelp(static_cast<HWND>(helpInfo->hItemHandle), HELP_WM_HELP,
             reinterpret_cast<ULONG_PTR>(HelpIdTable));
    return 1;
}

int DialogBase::onContextMenu(HWND clickedWindow)
{
    showHelp(clickedWindow, HELP_CONTEXTMENU, reinterpret_cast<ULONG_PTR>(HelpIdTable));
    return 1;
}

int DialogBase::onHelpButton()
{
    if (helpContextId != 0)
        showHelp(window, HELP_CONTEXT, static_cast<ULONG_PTR>(helpContextId));
    return 1;
}

// Runs the private loop of What's This mode until a click, Escape or the
// quit message; answers the window under a click inside `dialog`, or null.
static HWND pickWindowWithHelpCursor(HWND dialog)
{
    SetCapture(dialog);
    HCURSOR helpCursor = LoadCursorA(NULL, MAKEINTRESOURCEA(32651)); // IDC_HELP
    HCURSOR previousCursor = SetCursor(helpCursor);

    HWND chosen = NULL;
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        if (msg.message == WM_KEYDOWN) {
            if (msg.wParam == VK_ESCAPE)
                break;
            continue;
        }
        if (msg.message == WM_LBUTTONDOWN || msg.message == WM_RBUTTONDOWN ||
            msg.message == WM_MBUTTONDOWN) {
            POINT position;
            RECT dialogRect;
            GetCursorPos(&position);
            GetWindowRect(dialog, &dialogRect);
            if (PtInRect(&dialogRect, position)) {
                chosen = WindowFromPoint(position);
                if (chosen != NULL) {
                    POINT client = position;
                    ScreenToClient(chosen, &client);
                    HWND child = ChildWindowFromPointEx(chosen, client,
                                                        CWP_SKIPINVISIBLE | CWP_SKIPTRANSPARENT);
                    if (child != NULL)
                        chosen = child;
                }
            }
            break;
        }
        if (msg.message == WM_SETCURSOR) {
            SetCursor(helpCursor);
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    SetCursor(previousCursor);
    ReleaseCapture();
    return chosen;
}

static const INT32 *findHelpRow(INT32 controlId)
{
    for (int row = 0; HelpIdTable[row][0] != 0; ++row) {
        if (HelpIdTable[row][0] == controlId)
            return HelpIdTable[row];
    }
    return NULL;
}

int DialogBase::onWhatsThis()
{
    for (HWND chosen = pickWindowWithHelpCursor(window); chosen != NULL; chosen = GetParent(chosen)) {
        const INT32 *row = findHelpRow(static_cast<INT32>(GetDlgCtrlID(chosen)));
        if (row == NULL)
            continue;
        if (row[1] != NO_POPUP)
            showHelp(window, HELP_CONTEXTPOPUP, static_cast<ULONG_PTR>(row[1]));
        return 1;
    }
    return 0;
}
