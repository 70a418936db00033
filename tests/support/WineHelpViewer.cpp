#include "WineHelpViewer.h"

#include <tlhelp32.h>

#include <stdlib.h>
#include <string.h>

#include <vector>

namespace helpviewer {

namespace {

const char *const VIEWER_CLASS = "MS_WINHELP";

DWORD scaled(DWORD ms)
{
    char factor[16] = "";
    GetEnvironmentVariableA("GAGENT_TEST_TIMEOUT_SCALE", factor, sizeof factor);
    int scale = atoi(factor);
    return scale > 1 ? ms * static_cast<DWORD>(scale) : ms;
}

// Lets this thread's own windows answer while it waits.
void pause(DWORD ms)
{
    DWORD until = GetTickCount() + ms;
    do {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(10);
    } while (static_cast<LONG>(until - GetTickCount()) > 0);
}

template <typename Condition> bool waitFor(DWORD ms, Condition done)
{
    DWORD until = GetTickCount() + scaled(ms);
    while (!done()) {
        if (static_cast<LONG>(until - GetTickCount()) <= 0)
            return false;
        pause(20);
    }
    return true;
}

BOOL CALLBACK findTextControl(HWND child, LPARAM found)
{
    char name[32] = "";
    GetClassNameA(child, name, sizeof name);
    if (strncmp(name, "RichEdit", 8) == 0 && IsWindowVisible(child)) {
        *reinterpret_cast<HWND *>(found) = child;
        return FALSE;
    }
    return TRUE;
}

// The viewer processes of this session (its Wine prefix), by id.
std::vector<DWORD> viewerProcesses()
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ids;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (lstrcmpiA(entry.szExeFile, "winhlp32.exe") == 0)
            ids.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return ids;
}

} // namespace

bool start()
{
    if (FindWindowA(VIEWER_CLASS, NULL) != NULL)
        return true;
    if (WinExec("winhlp32.exe -x", SW_SHOWNORMAL) < 32)
        return false;
    return waitFor(10000, [] { return FindWindowA(VIEWER_CLASS, NULL) != NULL; });
}

HWND shownWindow()
{
    for (HWND window = FindWindowExA(NULL, NULL, VIEWER_CLASS, NULL); window != NULL;
         window = FindWindowExA(NULL, window, VIEWER_CLASS, NULL)) {
        if (IsWindowVisible(window))
            return window;
    }
    return NULL;
}

std::string shownText()
{
    HWND viewer = shownWindow();
    HWND text = NULL;
    if (viewer == NULL)
        return std::string();
    EnumChildWindows(viewer, findTextControl, reinterpret_cast<LPARAM>(&text));
    if (text == NULL)
        return std::string();
    // The control belongs to another process: the text comes by message.
    char buffer[16384] = "";
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(text, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer), SMTO_NORMAL,
                             scaled(5000), &copied))
        return std::string();
    return std::string(buffer, copied < sizeof buffer ? copied : sizeof buffer - 1);
}

std::string waitForTextBeginning(const std::string &beginning, DWORD ms)
{
    std::string text;
    waitFor(ms, [&] {
        text = shownText();
        return text.compare(0, beginning.size(), beginning) == 0;
    });
    return text;
}

void quit()
{
    // A viewer that the program under test started may still be making its
    // window; one left running would keep the test run's output open.
    waitFor(10000, [] {
        if (FindWindowA(VIEWER_CLASS, NULL) != NULL)
            WinHelpA(NULL, "", HELP_QUIT, 0);
        return viewerProcesses().empty();
    });
    for (DWORD id : viewerProcesses()) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (process == NULL)
            continue;
        TerminateProcess(process, 1);
        WaitForSingleObject(process, scaled(5000));
        CloseHandle(process);
    }
}

} // namespace helpviewer
