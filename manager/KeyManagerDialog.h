// The program's main window: the key list, its commands, the menu with
// status-bar help, and the link to the agent.
#ifndef GAGENT_KEYMANAGERDIALOG_H
#define GAGENT_KEYMANAGERDIALOG_H

#include "DialogBase.h"

class KeyManagerDialog : public DialogBase {
public:
    KeyManagerDialog(HMODULE module, HWND owner);

    // Attributes
    char titleText[256];
    HWND statusBar;
    HMENU menu;
    HWND keyList;
    UINT32 minColumnWidth[3];
    INT32 allowAdd;
    INT32 allowDelete;
    INT32 confirmKeyOp;
    INT32 restrictedMode;
    HANDLE refreshEvent; // shared with the agent side; held until the process ends

    // Handlers
    INT_PTR dialogProc(UINT message, WPARAM wParam, LPARAM lParam);
    int onInitDialog(HWND focusWindow);
    int onCommand(unsigned id, HWND control, unsigned notification);

    // Operations
    void showMenuHelp(WPARAM wParam, LPARAM lParam);

private:
    void createStatusBar();
    int onExit();
};

#endif
