#include "PassphraseDialog.h"

#include "HeapText.h"
#include "SecretField.h"
#include "WindowPlacement.h"
#include "resource.h"

PassphraseDialog::PassphraseDialog(HMODULE module, HWND owner, INT32 helpContext) : DialogBase(module, owner)
{
    helpContextId = helpContext;
}

INT_PTR PassphraseDialog::dialogProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY)
        clearSecretFields(window);
    return DialogBase::dialogProc(message, wParam, lParam);
}

int PassphraseDialog::onInitDialog(HWND)
{
    HANDLE icon = LoadImageA(resourceModule, MAKEINTRESOURCEA(IDI_KEY), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR);
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    limitFields(window);
    centerWindow(window, parentWindow);
    return 1;
}

char *PassphraseDialog::copySecretField(int id)
{
    char text[FIELD_TEXT_SIZE];
    readField(window, id, text);
    char *copy = newTextCopy(text);
    SecureZeroMemory(text, sizeof text);
    return copy;
}
