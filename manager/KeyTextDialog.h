// Asks for the selected key's new name and, optionally, a lifetime after
// which the agent forgets it.
#ifndef GAGENT_KEYTEXTDIALOG_H
#define GAGENT_KEYTEXTDIALOG_H

#include "DialogBase.h"

class KeyTextDialog : public DialogBase {
public:
    KeyTextDialog(HMODULE module, HWND owner);
    ~KeyTextDialog();

    // Attributes, owned; set by a successful onOk
    char *requiredText; // the name, never empty
    char *optionalText; // the lifetime, or null when left empty

    // Operations
    INT_PTR runModal();

    // Handlers
    int onInitDialog(HWND focusWindow);
    int onCommand(unsigned id, HWND control, unsigned notification);
    // 1 when the dialog may close, 0 when it must stay open.
    virtual int onOk();
};

#endif
