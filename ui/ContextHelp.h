// Context help through the WinHelp engine and the help file of the UI
// language; the help operations of DialogBase are built on it.
#ifndef GAGENT_CONTEXTHELP_H
#define GAGENT_CONTEXTHELP_H

#include <windows.h>

// Control id to help context id, ended by {0, 0}: the layout the help
// engine expects for HELP_WM_HELP and HELP_CONTEXTMENU.
extern const INT32 HelpIdTable[][2];

// WinHelpA on "<exe dir>Help\<language folder>\gagent.hlp"; FALSE without
// calling it when that path does not fit in MAX_PATH bytes.
BOOL showHelp(HWND window, UINT command, ULONG_PTR data);

#endif
