// The program's main window: the agent's keys in a list, the commands that
// act on them, the menu with status-bar help, and the link to the agent.
#ifndef GAGENT_KEYMANAGERDIALOG_H
#define GAGENT_KEYMANAGERDIALOG_H

#include "DialogBase.h"
#include "HeapText.h"
#include "IAgent.h"

class KeyManagerDialog : public DialogBase {
public:
    KeyManagerDialog(HMODULE module, HWND owner);
    ~KeyManagerDialog();

    // Attributes
    char titleText[256];
    HWND statusBar;
    HMENU menu;
    HWND keyList;
    UINT32 minColumnWidth[3]; // header width + 10, the least each column keeps
    HMODULE agentLibrary;     // outlives `agent`, whose code it holds
    IAgent *agent;            // null unless the binding succeeded completely
    INT32 allowAdd;
    INT32 allowDelete;
    INT32 confirmKeyOp;
    INT32 restrictedMode;
    HANDLE refreshEvent; // shared with the agent side; held until the process ends

    // Handlers
    INT_PTR dialogProc(UINT message, WPARAM wParam, LPARAM lParam);
    int onInitDialog(HWND focusWindow);
    int onCommand(unsigned id, HWND control, unsigned notification);
    int onNotifyClick(NMHDR *header);

    // Operations
    bool bindAgentLibrary();
    void refreshKeyList();
    void updateCommandStates();
    void showMenuHelp(WPARAM wParam, LPARAM lParam);

private:
    void releaseAgent();
    void askForRepairAndQuit();
    void createStatusBar();
    void setUpKeyList();
    int togglePolicy(INT32 &flag, int commandId, UINT agentMessage);
    void showPolicyCheckMarks();
    void fillKeyList();
    void sizeColumnsToContents();
    void setMenuItemEnabled(int id, bool enabled);
    void setMenuItemChecked(int id, bool checked);
    void setButtonEnabled(int id, bool enabled);
    bool agentIsAvailable();
    // The first selected row's name, at most 127 characters; 0 when no row
    // is selected or its name is empty.
    int getSelectedKeyName(char (&name)[FIELD_TEXT_SIZE]);
    // Command handlers
    int onAddKey();
    int onExportKey();
    int onRemoveKey();
    int onKeyText();
    int onLockAgent();
    int onUnlockAgent();
    int onAgentPassphrase();
    int onAbout();
    int onExit();
    int onStopAgent();
    int onViewAgentLog();
    int onGenerateKey();
    int onToggleConfirmKeyOp();
    int onToggleAllowAdd();
    int onToggleAllowDelete();
};

#endif
