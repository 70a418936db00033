// The object behind every dialog window. One dialog procedure,
// sharedDialogProc, finds a window's object and hands it each message; the
// base dialogProc splits messages into the operations below, which derived
// classes override where they differ. Results are integers: nonzero means
// handled (or success), zero not handled.
#ifndef GAGENT_DIALOGBASE_H
#define GAGENT_DIALOGBASE_H

#include <windows.h>
#include <commctrl.h>

class DialogBase {
public:
    DialogBase(HMODULE module, HWND owner);

    // Attributes
    HMODULE resourceModule; // templates and strings; not owned
    HWND parentWindow;      // owner, and what the dialog is centred over
    HWND window;            // set at WM_INITDIALOG, kept after the dialog ends
    INT32 helpContextId;    // topic of the dialog's Help command; 0 for none

    // Message handlers, in this order for good: derived classes and their
    // callers rely on the slot layout.
    virtual INT_PTR dialogProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual int onInitDialog(HWND focusWindow);
    virtual int onCommand(unsigned id, HWND control, unsigned notification);
    virtual int onNotify(NMHDR *header);
    virtual int onNotifyClick(NMHDR *header);
    virtual int onHelp(HELPINFO *helpInfo);
    virtual int onContextMenu(HWND clickedWindow);
    virtual int onHelpButton();
    virtual int onWhatsThis();
    virtual int showError(int stringId);

protected:
    // Dialog objects live on the stack of the code that runs them and are
    // never deleted through a base pointer.
    ~DialogBase() {}

    // DialogBoxParamA over `templateId` with this object; the dialog result,
    // or -1 when the window cannot be created.
    INT_PTR runModalTemplate(int templateId);

    // A string of the resource module, cut to `size`; one the module lacks
    // reads as empty.
    void loadString(UINT stringId, char *text, int size);
};

INT_PTR CALLBACK sharedDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#endif
