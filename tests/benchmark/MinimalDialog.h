// What the benchmark and its baseline program agree on.
#ifndef GAGENT_MINIMAL_DIALOG_H
#define GAGENT_MINIMAL_DIALOG_H

#define IDD_MINIMAL 100
#define IDC_MINIMAL_LIST 101

#define MINIMAL_TITLE "Minimal Dialog"

// Sent with the row count in wParam: the list is emptied and filled again.
#define WM_FILL_LIST (0x8000 + 1) /* WM_APP + 1 */

#endif
