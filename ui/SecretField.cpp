#include "SecretField.h"

namespace {

BOOL CALLBACK clearIfSecret(HWND child, LPARAM)
{
    char className[16];
    if (GetClassNameA(child, className, sizeof className) > 0 && lstrcmpiA(className, "Edit") == 0 &&
        (GetWindowLongA(child, GWL_STYLE) & ES_PASSWORD) != 0)
        clearSecretField(child);
    return TRUE;
}

} // namespace

void clearSecretField(HWND field)
{
    // The control copies the text a replacement removes into a heap block
    // of its own and frees it unwiped (Wine's does, whole, as UTF-16): one
    // character at a time, no such block holds more than one. A password
    // field takes no input method, so each character is one position.
    int length = GetWindowTextLengthA(field);
    for (int at = 0; at < length; ++at) {
        SendMessageA(field, EM_SETSEL, at, at + 1);
        SendMessageA(field, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>("*"));
    }
    SetWindowTextA(field, "");
}

void clearSecretFields(HWND dialog)
{
    EnumChildWindows(dialog, clearIfSecret, 0);
}
