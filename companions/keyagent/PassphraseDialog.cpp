#include "PassphraseDialog.h"

#include "SecretField.h"

#include "AgentResources.h"
#include "Wire.h"

namespace {

struct Asking {
    const LanguageResources* texts;
    const PassphraseQuestion* question;
    agentcore::Bytes* answer;
};

// A passphrase field's text, and the field overwritten: emptied outright,
// the control would leave the passphrase in memory it frees.
agentcore::Bytes takeField(HWND dialog, int id) {
    char text[1024];
    int length = GetDlgItemTextA(dialog, id, text, sizeof text);
    agentcore::Bytes taken(text, text + (length > 0 ? length : 0));
    SecureZeroMemory(text, sizeof text);
    clearSecretField(GetDlgItem(dialog, id));
    return taken;
}

void complain(HWND dialog, const Asking& asking, UINT textId) {
    char text[512] = "", title[128] = "";
    loadLanguageString(*asking.texts, textId, text, sizeof text);
    loadLanguageString(*asking.texts, IDS_AGENT_TITLE, title, sizeof title);
    MessageBoxA(dialog, text, title, MB_OK | MB_ICONWARNING);
    SetFocus(GetDlgItem(dialog, IDC_TRAY_PASSPHRASE));
}

// Ends the dialog only with an answer worth sending on.
void accept(HWND dialog, const Asking& asking) {
    agentcore::Bytes first = takeField(dialog, IDC_TRAY_PASSPHRASE);
    agentcore::Bytes again = asking.question->twice ? takeField(dialog, IDC_TRAY_REPEAT) : first;
    UINT refusal = first.empty() ? IDS_TRAY_PASSPHRASE_EMPTY : first != again ? IDS_TRAY_PASSPHRASES_DIFFER : 0;
    if (refusal == 0) asking.answer->swap(first);
    agentcore::wipe(first);
    agentcore::wipe(again);
    if (refusal) complain(dialog, asking, refusal);
    else EndDialog(dialog, IDOK);
}

void start(HWND dialog, const Asking& asking) {
    SetDlgItemTextA(dialog, IDC_TRAY_PROMPT, asking.question->prompt.c_str());
    if (!asking.question->twice) {
        ShowWindow(GetDlgItem(dialog, IDC_TRAY_REPEAT_LABEL), SW_HIDE);
        ShowWindow(GetDlgItem(dialog, IDC_TRAY_REPEAT), SW_HIDE);
    }
    // Asked from the notification area: nothing of the agent is in front.
    SetForegroundWindow(dialog);
}

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        // Only the dialog manager's own, the first: any program of the user
        // can send this message, with a pointer of its choosing.
        if (GetWindowLongPtrA(dialog, DWLP_USER)) return FALSE;
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        start(dialog, *reinterpret_cast<const Asking*>(lParam));
        return TRUE;
    }
    auto* asking = reinterpret_cast<const Asking*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (message != WM_COMMAND || !asking) return FALSE;
    if (LOWORD(wParam) == IDOK) {
        accept(dialog, *asking);
        return TRUE;
    }
    if (LOWORD(wParam) == IDCANCEL) {
        takeField(dialog, IDC_TRAY_PASSPHRASE);
        takeField(dialog, IDC_TRAY_REPEAT);
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

bool askPassphrase(const LanguageResources& texts, HWND owner, const PassphraseQuestion& question,
                   agentcore::Bytes& passphrase) {
    Asking asking = {&texts, &question, &passphrase};
    return showLanguageDialog(texts, IDD_TRAY_PASSPHRASE, owner, dialogProc, reinterpret_cast<LPARAM>(&asking)) == IDOK;
}
