#include "SecretField.h"

namespace {

// Filler is written a piece at a time from this one constant, so that any
// length is covered without a buffer: the last n stars and the NUL.
const char FILLER[] = "****************************************************************"
                      "****************************************************************";
const int FILLER_LENGTH = sizeof FILLER - 1;

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
    // A password field takes no input method, so each character of its
    // text is one position and one byte.
    int length = GetWindowTextLengthA(field);
    for (int at = 0; at < length; at += FILLER_LENGTH) {
        int piece = length - at < FILLER_LENGTH ? length - at : FILLER_LENGTH;
        SendMessageA(field, EM_SETSEL, at, at + piece);
        SendMessageA(field, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(FILLER + FILLER_LENGTH - piece));
    }
    SetWindowTextA(field, "");
}

void clearSecretFields(HWND dialog)
{
    EnumChildWindows(dialog, clearIfSecret, 0);
}
