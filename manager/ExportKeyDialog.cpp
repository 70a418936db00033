#include "ExportKeyDialog.h"

#include "WindowPlacement.h"
#include "resource.h"

ExportKeyDialog::ExportKeyDialog(HMODULE module, HWND owner) : DialogBase(module, owner), formatFlag(0)
{
}

INT_PTR ExportKeyDialog::runModal()
{
    return runModalTemplate(IDD_EXPORT_KEY);
}

int ExportKeyDialog::onInitDialog(HWND)
{
    SendDlgItemMessageA(window, IDC_EXPORT_OPENSSH, BM_SETCHECK, BST_CHECKED, 0);
    centerWindow(window, parentWindow);
    return 1;
}

int ExportKeyDialog::onCommand(unsigned id, HWND, unsigned)
{
    switch (id) {
    case IDOK:
        onOk();
        EndDialog(window, IDOK);
        return 1;
    case IDCANCEL:
        EndDialog(window, IDCANCEL);
        return 1;
    default:
        return 0;
    }
}

int ExportKeyDialog::onOk()
{
    formatFlag = SendDlgItemMessageA(window, IDC_EXPORT_RFC4716, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
    return 1;
}
