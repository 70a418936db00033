// Asks for the agent passphrase that unlocks the agent.
#ifndef GAGENT_UNLOCKPROMPTDIALOG_H
#define GAGENT_UNLOCKPROMPTDIALOG_H

#include "PassphraseDialog.h"

class UnlockPromptDialog : public PassphraseDialog {
public:
    UnlockPromptDialog(HMODULE module, HWND owner);
    ~UnlockPromptDialog();

    // Attributes
    char *passphrase; // owned; set when OK ends the dialog, wiped with the object

    // Operations
    INT_PTR runModal();

    // Handlers
    int onCommand(unsigned id, HWND control, unsigned notification);
};

#endif
