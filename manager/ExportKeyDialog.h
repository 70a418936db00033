// Asks in which of two formats the selected key's public half is saved.
#ifndef GAGENT_EXPORTKEYDIALOG_H
#define GAGENT_EXPORTKEYDIALOG_H

#include "DialogBase.h"

class ExportKeyDialog : public DialogBase {
public:
    ExportKeyDialog(HMODULE module, HWND owner);

    // Attributes
    INT32 formatFlag; // 1 when the second format was chosen; handed to the agent as it is

    // Operations
    INT_PTR runModal();

    // Handlers
    int onInitDialog(HWND focusWindow);
    int onCommand(unsigned id, HWND control, unsigned notification);
    virtual int onOk();
};

#endif
