// Wine's help viewer (winhlp32) as a test sees it: started, read back and
// ended. Wine's WinHelpA gives up on a call made while no viewer runs (it
// starts the viewer but looks for its window before the viewer has made
// it), so a test that wants a topic shown starts the viewer first.
#ifndef GAGENT_TEST_WINEHELPVIEWER_H
#define GAGENT_TEST_WINEHELPVIEWER_H

#include <windows.h>

#include <string>

namespace helpviewer {

// Starts the viewer with its window hidden and waits for that window.
bool start();

// The viewer's visible main window, or null.
HWND shownWindow();

// The text of the topic on show; empty while no topic is shown.
std::string shownText();

// Waits until the shown text begins with `beginning`; the text shown then
// (or at the end of the wait).
std::string waitForTextBeginning(const std::string &beginning, DWORD ms = 10000);

// Closes every help window and waits for the viewer to end, also one that
// is still starting; a viewer that does not end is terminated.
void quit();

} // namespace helpviewer

#endif
