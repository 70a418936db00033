// Loaded into the program under test by the test driver (a remote thread
// calling LoadLibraryA). It answers questions about the program's windows
// that another process cannot ask directly under Wine: menu states, the
// status bar's text and the rows of list controls. It also stands in for
// WinHelpA in the program's import table, to record each call the program
// makes to the help engine (Wine shows no popup, and refuses two commands)
// before passing it on.
//
// Protocol: one request per connection on \\.\pipe\gagent-probe-<pid>,
// words separated by spaces, window handles in hexadecimal; the answer is
// text. Unknown requests are answered with "error".
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "ImportPatch.h"

namespace {

const UINT SEND_TIMEOUT_MS = 5000;

LRESULT sendTo(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, SEND_TIMEOUT_MS, &result))
        return -1;
    return static_cast<LRESULT>(result);
}

HWND findChildOfClass(HWND parent, const char *className)
{
    return FindWindowExA(parent, NULL, className, NULL);
}

std::string menuState(HWND window, UINT id)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u", GetMenuState(GetMenu(window), id, MF_BYCOMMAND));
    return text;
}

std::string menuText(HWND window, UINT id)
{
    char text[256] = "";
    GetMenuStringA(GetMenu(window), id, text, sizeof text, MF_BYCOMMAND);
    return text;
}

// "<1 if simple mode>\t<text shown>"
std::string statusBar(HWND window)
{
    HWND bar = findChildOfClass(window, STATUSCLASSNAMEA);
    if (bar == NULL)
        return "error no status bar";
    bool simple = sendTo(bar, SB_ISSIMPLE, 0, 0) != 0;
    char text[1024] = "";
    // Windows names the simple part 255; Wine's control answers for it as
    // part 0 while in simple mode.
    sendTo(bar, SB_GETTEXTA, simple ? SB_SIMPLEID : 0, reinterpret_cast<LPARAM>(text));
    if (simple && text[0] == '\0')
        sendTo(bar, SB_GETTEXTA, 0, reinterpret_cast<LPARAM>(text));
    return std::string(simple ? "1" : "0") + "\t" + text;
}

HWND listControl(HWND window, int controlId)
{
    return GetDlgItem(window, controlId);
}

int columnCount(HWND list)
{
    HWND header = reinterpret_cast<HWND>(sendTo(list, LVM_GETHEADER, 0, 0));
    return header != NULL ? static_cast<int>(sendTo(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
}

// One line per row, cells separated by tabs.
std::string listRows(HWND list)
{
    int rows = static_cast<int>(sendTo(list, LVM_GETITEMCOUNT, 0, 0));
    int columns = columnCount(list);
    std::string answer;
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column) {
            char text[512] = "";
            LVITEMA item = {};
            item.iSubItem = column;
            item.pszText = text;
            item.cchTextMax = sizeof text;
            sendTo(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
            if (column > 0)
                answer += '\t';
            answer += text;
        }
        answer += '\n';
    }
    return answer;
}

// "<count> <width 0> <width 1> ..." followed by a line per header text.
std::string listColumns(HWND list)
{
    int columns = columnCount(list);
    std::string answer = std::to_string(columns);
    for (int column = 0; column < columns; ++column)
        answer += " " + std::to_string(sendTo(list, LVM_GETCOLUMNWIDTH, column, 0));
    HWND header = reinterpret_cast<HWND>(sendTo(list, LVM_GETHEADER, 0, 0));
    for (int column = 0; column < columns; ++column) {
        char text[256] = "";
        HDITEMA item = {};
        item.mask = HDI_TEXT;
        item.pszText = text;
        item.cchTextMax = sizeof text;
        sendTo(header, HDM_GETITEMA, column, reinterpret_cast<LPARAM>(&item));
        answer += std::string("\n") + text;
    }
    return answer;
}

std::string listExtendedStyle(HWND list)
{
    return std::to_string(sendTo(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
}

std::string selectedRows(HWND list)
{
    std::string answer;
    for (int row = -1;;) {
        row = static_cast<int>(sendTo(list, LVM_GETNEXTITEM, row, LVNI_SELECTED));
        if (row < 0)
            break;
        answer += std::to_string(row) + " ";
    }
    return answer;
}

// Screen rectangle of a row: "left top right bottom".
std::string rowRectangle(HWND list, int row)
{
    RECT rect = {};
    rect.left = LVIR_BOUNDS;
    if (sendTo(list, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&rect)) <= 0)
        return "error no row";
    MapWindowPoints(list, NULL, reinterpret_cast<POINT *>(&rect), 2);
    char text[64];
    std::snprintf(text, sizeof text, "%ld %ld %ld %ld", rect.left, rect.top, rect.right, rect.bottom);
    return text;
}

// Selects rows without a click, as the keyboard or a program would.
std::string selectRows(HWND list, const std::string &rows)
{
    LVITEMA clear = {};
    clear.stateMask = LVIS_SELECTED;
    sendTo(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&clear));
    std::istringstream numbers(rows);
    for (int row; numbers >> row;) {
        LVITEMA item = {};
        item.stateMask = LVIS_SELECTED;
        item.state = LVIS_SELECTED;
        sendTo(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
    }
    return selectedRows(list);
}

std::string windowIcon(HWND window)
{
    char text[64];
    std::snprintf(text, sizeof text, "%p", reinterpret_cast<void *>(sendTo(window, WM_GETICON, ICON_BIG, 0)));
    return text;
}

typedef BOOL(WINAPI *WinHelpFunction)(HWND, LPCSTR, UINT, ULONG_PTR);
WinHelpFunction realWinHelp = NULL;
CRITICAL_SECTION helpCallsLock;
std::vector<std::string> helpCalls;

std::string hexOf(const void *value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(value)));
    return text;
}

std::string cursorName(HCURSOR cursor)
{
    if (cursor == NULL)
        return "none";
    if (cursor == LoadCursorA(NULL, MAKEINTRESOURCEA(32651))) // IDC_HELP
        return "help";
    if (cursor == LoadCursorA(NULL, MAKEINTRESOURCEA(32512))) // IDC_ARROW
        return "arrow";
    return "other";
}

// The pairs of a help id table, up to its closing pair: "111,2000;...;0,0".
std::string tableText(ULONG_PTR data)
{
    const INT32(*rows)[2] = reinterpret_cast<const INT32(*)[2]>(data);
    std::string text;
    for (int row = 0; row < 64; ++row) {
        text += (row > 0 ? ";" : "") + std::to_string(rows[row][0]) + "," + std::to_string(rows[row][1]);
        if (rows[row][0] == 0)
            break;
    }
    return text;
}

// On the program's user-interface thread: what the user sees as the call
// is made, the call, and the engine's answer ("-" while the call lasts).
BOOL WINAPI recordingWinHelp(HWND window, LPCSTR path, UINT command, ULONG_PTR data)
{
    std::string dataText = command == HELP_WM_HELP || command == HELP_CONTEXTMENU ? "table:" + tableText(data)
                                                                                  : std::to_string(data);
    std::string call = hexOf(window) + " " + std::to_string(command) + " " + dataText + " " + hexOf(GetCapture()) +
                       " " + cursorName(GetCursor());
    std::string callPath = path != NULL ? path : "(null)";
    EnterCriticalSection(&helpCallsLock);
    size_t index = helpCalls.size();
    helpCalls.push_back(call + " - " + callPath);
    LeaveCriticalSection(&helpCallsLock);

    BOOL result = realWinHelp(window, path, command, data);

    EnterCriticalSection(&helpCallsLock);
    helpCalls[index] = call + " " + std::to_string(result) + " " + callPath;
    LeaveCriticalSection(&helpCallsLock);
    return result;
}

std::string recordHelpCalls()
{
    if (realWinHelp != NULL)
        return "ok";
    void *previous = replaceImport(GetModuleHandleA(NULL), "user32.dll", "WinHelpA",
                                   reinterpret_cast<void *>(recordingWinHelp));
    realWinHelp = reinterpret_cast<WinHelpFunction>(previous);
    return previous != NULL ? "ok" : "error WinHelpA not imported";
}

// One line per call: "<window> <command> <data> <capture> <cursor> <result> <path>".
std::string recordedHelpCalls()
{
    std::string text;
    EnterCriticalSection(&helpCallsLock);
    for (const std::string &line : helpCalls)
        text += line + "\n";
    LeaveCriticalSection(&helpCallsLock);
    return text;
}

// The cursor the user sees now, whichever thread set it.
std::string shownCursor()
{
    CURSORINFO info = {};
    info.cbSize = sizeof info;
    if (!GetCursorInfo(&info))
        return "error";
    return cursorName(info.hCursor);
}

std::string answer(const std::string &request)
{
    std::istringstream words(request);
    std::string verb, handleText;
    words >> verb >> handleText;
    HWND window = reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::strtoull(handleText.c_str(), NULL, 16)));
    int number = 0;
    words >> number;
    std::string rest;
    std::getline(words, rest);
    if (verb == "ping")
        return "pong";
    if (verb == "recordhelp")
        return recordHelpCalls();
    if (verb == "helpcalls")
        return recordedHelpCalls();
    if (verb == "cursor")
        return shownCursor();
    if (!IsWindow(window))
        return "error no window";
    if (verb == "menustate")
        return menuState(window, number);
    if (verb == "menutext")
        return menuText(window, number);
    if (verb == "status")
        return statusBar(window);
    if (verb == "icon")
        return windowIcon(window);
    HWND list = listControl(window, number);
    if (list == NULL)
        return "error no control";
    if (verb == "listrows")
        return listRows(list);
    if (verb == "listcolumns")
        return listColumns(list);
    if (verb == "liststyle")
        return listExtendedStyle(list);
    if (verb == "listselection")
        return selectedRows(list);
    if (verb == "listselect")
        return selectRows(list, rest);
    if (verb == "listrowrect")
        return rowRectangle(list, std::atoi(rest.c_str()));
    return "error unknown request";
}

DWORD WINAPI serve(void *)
{
    char name[64];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\gagent-probe-%lu", GetCurrentProcessId());
    for (;;) {
        HANDLE pipe = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 1 << 16, 1 << 16, 0, NULL);
        if (pipe == INVALID_HANDLE_VALUE)
            return 1;
        if (ConnectNamedPipe(pipe, NULL) || GetLastError() == ERROR_PIPE_CONNECTED) {
            char request[1024];
            DWORD length = 0;
            if (ReadFile(pipe, request, sizeof request - 1, &length, NULL)) {
                request[length] = '\0';
                std::string reply = answer(request);
                DWORD written = 0;
                WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, NULL);
                FlushFileBuffers(pipe);
            }
        }
        DisconnectNamedPipe(pipe);
        CloseHandle(pipe);
    }
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void *)
{
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&helpCallsLock);
        HANDLE thread = CreateThread(NULL, 0, serve, NULL, 0, NULL);
        if (thread != NULL)
            CloseHandle(thread);
    }
    return TRUE;
}
