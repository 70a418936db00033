#include "AboutDialog.h"

#include "HeapText.h"
#include "ModuleVersion.h"
#include "TextBuffer.h"
#include "WindowPlacement.h"
#include "resource.h"

AboutDialog::AboutDialog(HMODULE module, HWND owner) : DialogBase(module, owner), agentLibrary(NULL)
{
}

INT_PTR AboutDialog::runModal()
{
    return runModalTemplate(IDD_ABOUT);
}

int AboutDialog::onInitDialog(HWND)
{
    showVersionLine(IDC_PRODUCT_VERSION, getProductVersion, resourceModule);
    if (agentLibrary != NULL)
        showVersionLine(IDC_AGENT_VERSION, getFileVersion, agentLibrary);
    else
        SetDlgItemTextA(window, IDC_AGENT_VERSION, "");
    centerWindow(window, parentWindow);
    return 1;
}

// The control's own text is the line's format, with room for one version.
void AboutDialog::showVersionLine(int controlId, VersionLookup lookup, HMODULE module)
{
    char format[FIELD_TEXT_SIZE];
    readField(window, controlId, format);
    char version[32];
    lookup(module, version, sizeof version);
    // wsprintfA writes at most 1024 characters; the line keeps what fits
    // its room of 127.
    char composed[1025];
    wsprintfA(composed, format, version);
    char line[FIELD_TEXT_SIZE];
    copyText(line, sizeof line, composed);
    SetDlgItemTextA(window, controlId, line);
}

int AboutDialog::onCommand(unsigned id, HWND, unsigned)
{
    if (id != IDOK)
        return 0;
    EndDialog(window, 0);
    return 1;
}
