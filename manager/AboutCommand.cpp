// Command 109: the about box over the key manager.
#include "AboutDialog.h"
#include "KeyManagerDialog.h"

int KeyManagerDialog::onAbout()
{
    AboutDialog about(resourceModule, window);
    about.agentLibrary = agentLibrary;
    about.runModal();
    SetActiveWindow(window);
    UpdateWindow(window);
    return 1;
}
