// What the two passphrase dialogs share: their look at start and the way a
// passphrase leaves a field for the heap without leaving a copy behind.
#ifndef GAGENT_PASSPHRASEDIALOG_H
#define GAGENT_PASSPHRASEDIALOG_H

#include "DialogBase.h"

class PassphraseDialog : public DialogBase {
public:
    // The resource module's key icon, the dialog centred over its owner.
    int onInitDialog(HWND focusWindow);

protected:
    PassphraseDialog(HMODULE module, HWND owner, INT32 helpContext);
    ~PassphraseDialog() {}

    // A heap copy of field `id`'s text (at most 127 characters), or null
    // when there is no memory; the stack buffer it passed through is wiped.
    char *copySecretField(int id);
};

#endif
