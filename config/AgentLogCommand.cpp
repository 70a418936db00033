// Command 106: the shell opens the agent log with whatever the user has
// associated with it.
#include "KeyManagerDialog.h"
#include "LocalConfiguration.h"

#include <shellapi.h>

int KeyManagerDialog::onViewAgentLog()
{
    char path[MAX_PATH];
    getAgentLogPath(path);
    // A missing file or association is the shell's to report.
    ShellExecuteA(NULL, "open", path, NULL, NULL, SW_SHOWNORMAL);
    return 1;
}
