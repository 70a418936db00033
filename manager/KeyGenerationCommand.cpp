// Command 112: a new key pair from the agent library. The list is not
// touched here; the agent side announces the new key like any other change.
#include "GenerateKeyDialog.h"
#include "KeyManagerDialog.h"

int KeyManagerDialog::onGenerateKey()
{
    // The button is disabled without an agent, but a command can still be
    // sent; the dialog must not reach an interface that is not there.
    if (agent == NULL)
        return 1;
    HCURSOR previousCursor = GetCursor();
    GenerateKeyDialog dialog(resourceModule, window, restrictedMode, agent, refreshEvent);
    dialog.runModal();
    // The dialog's wait cursor stays until the pointer next moves otherwise.
    SetCursor(previousCursor);
    return 1;
}
