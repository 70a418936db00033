#ifndef GAGENT_WINDOWPLACEMENT_H
#define GAGENT_WINDOWPLACEMENT_H

#include <windows.h>

// Centres `window` over `owner`, or over the screen when there is no owner
// or it is minimised; also raises and activates `window`.
void centerWindow(HWND window, HWND owner);

// Makes `window` the foreground window even when another thread owns the
// foreground; answers what SetForegroundWindow answered.
BOOL forceForeground(HWND window);

#endif
