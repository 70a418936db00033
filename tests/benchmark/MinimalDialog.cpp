// The benchmark's baseline: the least a dialog program with the key
// manager's list control can do. It shows its one template and, asked with
// WM_FILL_LIST, fills the list in a bare loop with rows like the recording
// agent library's generated keys.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>

#include "MinimalDialog.h"

namespace {

// The key manager's names for the type codes 0 to 6.
const char *const TYPE_NAMES[7] = {"Ed25519", "RSA", "ECDSA", "DSA", "Certificate", "", "Security key"};
const char *const HEADERS[3] = {"Name", "Type", "Fingerprint"};

void addColumns(HWND list)
{
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, ~0u, LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP);
    for (int i = 0; i < 3; ++i) {
        LVCOLUMNA column;
        ZeroMemory(&column, sizeof column);
        column.mask = LVCF_FMT | LVCF_TEXT | LVCF_SUBITEM;
        column.fmt = LVCFMT_LEFT;
        column.pszText = const_cast<char *>(HEADERS[i]);
        column.iSubItem = i;
        SendMessageA(list, LVM_INSERTCOLUMNA, i, reinterpret_cast<LPARAM>(&column));
    }
    for (int i = 0; i < 3; ++i)
        SendMessageA(list, LVM_SETCOLUMNWIDTH, i, LVSCW_AUTOSIZE_USEHEADER);
}

void fillList(HWND list, int rows)
{
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
    for (int i = 0; i < rows; ++i) {
        char name[32], detail[80];
        std::snprintf(name, sizeof name, "key%05d", i + 1);
        std::snprintf(detail, sizeof detail, "SHA256:%043ld", (i + 1) * 7919L);
        LVITEMA item;
        ZeroMemory(&item, sizeof item);
        item.mask = LVIF_TEXT;
        item.iItem = i;
        item.pszText = name;
        SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
        item.iSubItem = 1;
        item.pszText = const_cast<char *>(TYPE_NAMES[(i + 1) % 7]);
        SendMessageA(list, LVM_SETITEMTEXTA, i, reinterpret_cast<LPARAM>(&item));
        item.iSubItem = 2;
        item.pszText = detail;
        SendMessageA(list, LVM_SETITEMTEXTA, i, reinterpret_cast<LPARAM>(&item));
    }
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, NULL, TRUE);
}

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        addColumns(GetDlgItem(dialog, IDC_MINIMAL_LIST));
        return TRUE;
    case WM_FILL_LIST:
        fillList(GetDlgItem(dialog, IDC_MINIMAL_LIST), static_cast<int>(wParam));
        return TRUE;
    case WM_CLOSE:
        EndDialog(dialog, 0);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    InitCommonControls();
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MINIMAL), NULL, dialogProc, 0);
    return 0;
}
