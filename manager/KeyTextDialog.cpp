#include "KeyTextDialog.h"

#include "HeapText.h"
#include "WindowPlacement.h"
#include "resource.h"

KeyTextDialog::KeyTextDialog(HMODULE module, HWND owner)
    : DialogBase(module, owner), requiredText(NULL), optionalText(NULL)
{
}

KeyTextDialog::~KeyTextDialog()
{
    deleteText(requiredText);
    deleteText(optionalText);
}

INT_PTR KeyTextDialog::runModal()
{
    return runModalTemplate(IDD_KEY_TEXT);
}

int KeyTextDialog::onInitDialog(HWND)
{
    limitFields(window);
    centerWindow(window, parentWindow);
    return 1;
}

int KeyTextDialog::onCommand(unsigned id, HWND, unsigned)
{
    switch (id) {
    case IDOK:
        if (!onOk())
            return 0;
        EndDialog(window, IDOK);
        return 1;
    case IDCANCEL:
        EndDialog(window, IDCANCEL);
        return 1;
    default:
        return 0;
    }
}

int KeyTextDialog::onOk()
{
    char text[FIELD_TEXT_SIZE];
    readField(window, IDC_KEY_NAME, text);
    if (text[0] == '\0') {
        showError(IDS_KEY_NAME_REQUIRED);
        return 0;
    }
    // A second OK may arrive before the dialog is gone.
    deleteText(requiredText);
    deleteText(optionalText);
    requiredText = newTextCopy(text);
    readField(window, IDC_KEY_LIFETIME, text);
    if (requiredText != NULL && text[0] != '\0')
        optionalText = newTextCopy(text);
    if (requiredText == NULL || (text[0] != '\0' && optionalText == NULL)) {
        // Without memory for the texts the command cannot go on: it ends as
        // if cancelled.
        EndDialog(window, IDCANCEL);
        return 0;
    }
    return 1;
}
