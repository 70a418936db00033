#include "AgentPassphraseDialog.h"

#include "HeapText.h"
#include "resource.h"

#include <string.h>

AgentPassphraseDialog::AgentPassphraseDialog(HMODULE module, HWND owner)
    : PassphraseDialog(module, owner, 1002), currentPassphrase(NULL), newPassphrase(NULL)
{
}

AgentPassphraseDialog::~AgentPassphraseDialog()
{
    wipeAndDeleteText(currentPassphrase);
    wipeAndDeleteText(newPassphrase);
}

INT_PTR AgentPassphraseDialog::runModal()
{
    return runModalTemplate(IDD_AGENT_PASSPHRASE);
}

int AgentPassphraseDialog::onCommand(unsigned id, HWND, unsigned)
{
    switch (id) {
    case IDOK:
        if (!onOk())
            return 0;
        EndDialog(window, IDOK);
        return 1;
    case IDCANCEL:
        EndDialog(window, IDCANCEL);
        return 1;
    case IDC_PASSPHRASE_HELP:
        return onHelpButton();
    case IDC_RESET_AGENT:
        return onReset();
    default:
        return 0;
    }
}

int AgentPassphraseDialog::newPassphraseIsRepeated()
{
    char typed[FIELD_TEXT_SIZE];
    char repeated[FIELD_TEXT_SIZE];
    readField(window, IDC_NEW_PASSPHRASE, typed);
    readField(window, IDC_REPEAT_PASSPHRASE, repeated);
    // Exactly as typed: a Caps Lock slip in one field would otherwise set a
    // passphrase the user never meant, and only a reset of the agent (which
    // throws every key away) leads back.
    int same = strcmp(typed, repeated) == 0;
    SecureZeroMemory(typed, sizeof typed);
    SecureZeroMemory(repeated, sizeof repeated);
    return same;
}

int AgentPassphraseDialog::onOk()
{
    if (!newPassphraseIsRepeated()) {
        showError(IDS_PASSPHRASES_DIFFER);
        return 0;
    }
    // A second OK may arrive before the dialog is gone.
    wipeAndDeleteText(currentPassphrase);
    wipeAndDeleteText(newPassphrase);
    currentPassphrase = copySecretField(IDC_CURRENT_PASSPHRASE);
    newPassphrase = copySecretField(IDC_NEW_PASSPHRASE);
    if (currentPassphrase == NULL || newPassphrase == NULL) {
        // Half a change must not reach the agent: the command ends as if
        // cancelled, and the destructor wipes whatever was copied.
        EndDialog(window, IDCANCEL);
        return 0;
    }
    return 1;
}

int AgentPassphraseDialog::onReset()
{
    char warning[2048];
    char caption[128];
    loadString(IDS_RESET_WARNING, warning, sizeof warning);
    loadString(IDS_APP_TITLE, caption, sizeof caption);
    if (MessageBoxA(window, warning, caption, MB_ICONWARNING | MB_YESNO) == IDYES)
        EndDialog(window, AGENT_RESET_CONFIRMED);
    return 1;
}
