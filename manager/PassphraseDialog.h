// What the two passphrase dialogs share: their look at start, the way a
// passphrase leaves a field for the heap without leaving a copy behind, and
// fields overwritten as the dialog goes, however it ends.
#ifndef GAGENT_PASSPHRASEDIALOG_H
#define GAGENT_PASSPHRASEDIALOG_H

#include "DialogBase.h"

class PassphraseDialog : public DialogBase {
public:
    // The password fields are overwritten at WM_DESTROY, before the fields
    // themselves go, whether OK, Cancel, Reset or the close box ended it.
    INT_PTR dialogProc(UINT message, WPARAM wParam, LPARAM lParam);
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
