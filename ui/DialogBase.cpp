#include "DialogBase.h"

#include "resource.h"

DialogBase::DialogBase(HMODULE module, HWND owner)
    : resourceModule(module), parentWindow(owner), window(NULL), helpContextId(0)
{
}

INT_PTR DialogBase::runModalTemplate(int templateId)
{
    return DialogBoxParamA(resourceModule, MAKEINTRESOURCEA(templateId), parentWindow,
                           sharedDialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK sharedDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DialogBase *dialog = reinterpret_cast<DialogBase *>(GetWindowLongPtrA(window, DWLP_USER));
    if (message == WM_INITDIALOG) {
        // Only the first, the dialog manager's own: another program can
        // send this message too, with a pointer of its choosing.
        if (dialog != NULL)
            return 0;
        dialog = reinterpret_cast<DialogBase *>(lParam);
        if (dialog == NULL)
            return 0;
        SetWindowLongPtrA(window, DWLP_USER, lParam);
        dialog->window = window;
    }
    if (dialog == NULL)
        return 0;
    return dialog->dialogProc(message, wParam, lParam);
}

INT_PTR DialogBase::dialogProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return onInitDialog(reinterpret_cast<HWND>(wParam));
    case WM_COMMAND:
        return onCommand(LOWORD(wParam), reinterpret_cast<HWND>(lParam), HIWORD(wParam));
    case WM_NOTIFY: {
        NMHDR *header = reinterpret_cast<NMHDR *>(lParam);
        if (header->code == static_cast<UINT>(NM_CLICK) || header->code == static_cast<UINT>(NM_DBLCLK))
            return onNotifyClick(header);
        return onNotify(header);
    }
    case WM_HELP:
        return onHelp(reinterpret_cast<HELPINFO *>(lParam));
    case WM_CONTEXTMENU:
        return onContextMenu(reinterpret_cast<HWND>(wParam));
    case WM_CLOSE:
        EndDialog(window, 0);
        return 1;
    default:
        return 0;
    }
}

int DialogBase::onInitDialog(HWND)
{
    return 1;
}

int DialogBase::onCommand(unsigned, HWND, unsigned)
{
    return 0;
}

int DialogBase::onNotify(NMHDR *)
{
    return 0;
}

int DialogBase::onNotifyClick(NMHDR *)
{
    return 0;
}

int DialogBase::showError(int stringId)
{
    char caption[64];
    char text[1024];
    loadString(IDS_APP_TITLE, caption, sizeof caption);
    loadString(stringId, text, sizeof text);
    return MessageBoxA(window, text, caption, MB_OK | MB_ICONERROR);
}

void DialogBase::loadString(UINT stringId, char *text, int size)
{
    if (LoadStringA(resourceModule, stringId, text, size) == 0)
        text[0] = '\0';
}
