// The about box: the version of the language resources and, when it is
// loaded, of the agent library.
#ifndef GAGENT_ABOUTDIALOG_H
#define GAGENT_ABOUTDIALOG_H

#include "DialogBase.h"

class AboutDialog : public DialogBase {
public:
    AboutDialog(HMODULE module, HWND owner);

    // Attributes
    HMODULE agentLibrary; // borrowed from the key manager; null when not bound

    // Operations
    INT_PTR runModal();

    // Handlers
    int onInitDialog(HWND focusWindow);
    int onCommand(unsigned id, HWND control, unsigned notification);

private:
    typedef int (*VersionLookup)(HMODULE module, char *destination, int capacity);
    void showVersionLine(int controlId, VersionLookup lookup, HMODULE module);
};

#endif
