// Sets the agent passphrase (the current one and a new one typed twice), or
// resets the agent after a warning.
#ifndef GAGENT_AGENTPASSPHRASEDIALOG_H
#define GAGENT_AGENTPASSPHRASEDIALOG_H

#include "PassphraseDialog.h"

// Dialog result of a confirmed reset, the id of the reset button.
const INT_PTR AGENT_RESET_CONFIRMED = 141;

class AgentPassphraseDialog : public PassphraseDialog {
public:
    AgentPassphraseDialog(HMODULE module, HWND owner);
    ~AgentPassphraseDialog();

    // Attributes, owned; set when OK is accepted, wiped with the object
    char *currentPassphrase;
    char *newPassphrase;

    // Operations
    // 1 OK accepted, 2 Cancel, AGENT_RESET_CONFIRMED, 0 closed, -1 no window.
    INT_PTR runModal();

    // Handlers
    int onCommand(unsigned id, HWND control, unsigned notification);
    // 1 when the texts were taken, 0 when the dialog stays open.
    virtual int onOk();
    virtual int onReset();

private:
    int newPassphraseIsRepeated();
};

#endif
