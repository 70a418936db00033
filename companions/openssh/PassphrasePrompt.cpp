#include "PassphrasePrompt.h"

#include "LibraryResources.h"
#include "SecretField.h"

#include <cstdio>

namespace {

struct Question {
    const LanguageResources *resources;
    const char *keyFile;
    unsigned triesLeft;
    char *buffer;
    int bufferSize;
};

INT_PTR CALLBACK passphraseProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    Question *q = reinterpret_cast<Question *>(GetWindowLongPtrA(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG: {
        // Only the dialog manager's own, the first: another program can
        // send this message, with a pointer of its choosing.
        if (q) return FALSE;
        q = reinterpret_cast<Question *>(lParam);
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        SetDlgItemTextA(dialog, IDC_PASSPHRASE_FILE, q->keyFile);
        SendDlgItemMessageA(dialog, IDC_PASSPHRASE_EDIT, EM_LIMITTEXT, q->bufferSize - 1, 0);
        if (q->triesLeft) {
            char format[256] = "", text[300];
            loadLanguageString(*q->resources, IDS_PASSPHRASE_WRONG, format, sizeof format);
            std::snprintf(text, sizeof text, format, q->triesLeft);
            SetDlgItemTextA(dialog, IDC_PASSPHRASE_RETRY, text);
        }
        SetFocus(GetDlgItem(dialog, IDC_PASSPHRASE_EDIT));
        return FALSE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            GetDlgItemTextA(dialog, IDC_PASSPHRASE_EDIT, q->buffer, q->bufferSize);
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        break;
    case WM_DESTROY:
        // However the dialog ends, the field's own buffer keeps only filler.
        clearSecretField(GetDlgItem(dialog, IDC_PASSPHRASE_EDIT));
        break;
    }
    return FALSE;
}

}  // namespace

bool askKeyPassphrase(const LanguageResources &resources, HWND owner, const char *keyFile, unsigned triesLeft, char *buffer,
                      int bufferSize) {
    Question q = {&resources, keyFile, triesLeft, buffer, bufferSize};
    buffer[0] = '\0';
    INT_PTR answer = showLanguageDialog(resources, IDD_KEY_PASSPHRASE, owner, passphraseProc, reinterpret_cast<LPARAM>(&q));
    return answer == IDOK;
}
