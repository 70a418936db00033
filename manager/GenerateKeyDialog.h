// Asks for a key file name, type and size, then has the agent library make
// the key pair on a worker thread while the dialog waits with Cancel at hand.
// The worker holds the shared refresh event reset for as long as the agent
// is busy, so that the key manager does not read a half-changed key set.
#ifndef GAGENT_GENERATEKEYDIALOG_H
#define GAGENT_GENERATEKEYDIALOG_H

#include "DialogBase.h"
#include "IAgent.h"

class GenerateKeyDialog : public DialogBase {
public:
    GenerateKeyDialog(HMODULE module, HWND owner, INT32 restrictedFlag, IAgent *keyAgent, HANDLE event);
    ~GenerateKeyDialog(); // stops a worker that is still running

    // Attributes
    IAgent *agent;       // borrowed from the key manager
    INT32 restricted;    // no Ed25519 and at least 1024 bits
    HANDLE workerThread; // owned; null while no generation runs
    HCURSOR cursor;      // shown over the dialog: the caller's, then the wait cursor
    char keyPath[128];
    UINT32 bits;
    KeyTypeCode keyType;
    HANDLE refreshEvent; // borrowed from the key manager

    // Handlers
    INT_PTR dialogProc(UINT message, WPARAM wParam, LPARAM lParam);
    int onInitDialog(HWND focusWindow);
    int onCommand(unsigned id, HWND control, unsigned notification);
    virtual int onOk();

    // Operations
    INT_PTR runModal();

private:
    static DWORD WINAPI generationWorker(void *dialog);
    void onGenerationEnded(AgentStatus status);
    void stopWorker();
    void disableInputs();

    // Written by the worker only; read once the worker has ended.
    INT32 eventHeld;
};

#endif
