#include "UnlockPromptDialog.h"

#include "HeapText.h"
#include "resource.h"

UnlockPromptDialog::UnlockPromptDialog(HMODULE module, HWND owner)
    : PassphraseDialog(module, owner, 1001), passphrase(NULL)
{
}

UnlockPromptDialog::~UnlockPromptDialog()
{
    wipeAndDeleteText(passphrase);
}

INT_PTR UnlockPromptDialog::runModal()
{
    return runModalTemplate(IDD_UNLOCK_PROMPT);
}

int UnlockPromptDialog::onCommand(unsigned id, HWND, unsigned)
{
    switch (id) {
    case IDOK:
        // A second OK may arrive before the dialog is gone.
        wipeAndDeleteText(passphrase);
        passphrase = copySecretField(IDC_UNLOCK_PASSPHRASE);
        // Without memory for the passphrase there is nothing to unlock with.
        EndDialog(window, passphrase != NULL ? IDOK : IDCANCEL);
        return 1;
    case IDCANCEL:
        EndDialog(window, IDCANCEL);
        return 1;
    case IDC_UNLOCK_HELP:
        return onHelpButton();
    default:
        return 0;
    }
}
