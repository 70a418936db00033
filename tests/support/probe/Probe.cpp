// Loaded into the program under test by the test driver (a remote thread
// calling LoadLibraryA). It answers questions about the program's windows
// that another process cannot ask directly under Wine: menu states, the
// status bar's text and the rows of list controls. It also stands in for
// functions in the program's import table, to record what the program
// asked of the system's file dialogs and each call it makes to the help
// engine (Wine shows no popup, and refuses two commands) before passing it
// on.
//
// Protocol: one request per connection on \\.\pipe\gagent-probe-<pid>,
// words separated by spaces, window handles in hexadecimal; the answer is
// text. Unknown requests are answered with "error".
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

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

// One line per entry of a combo box: "<text> <item data>".
std::string comboEntries(HWND combo)
{
    std::string answer;
    int count = static_cast<int>(sendTo(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        char text[256] = "";
        sendTo(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        answer += std::string(text) + " " + std::to_string(sendTo(combo, CB_GETITEMDATA, i, 0)) + "\n";
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

// What the list tells its dialog after a click on it.
std::string notifyClick(HWND list)
{
    NMITEMACTIVATE click = {};
    click.hdr.hwndFrom = list;
    click.hdr.idFrom = static_cast<UINT_PTR>(GetDlgCtrlID(list));
    click.hdr.code = static_cast<UINT>(NM_CLICK);
    click.iItem = -1;
    sendTo(GetParent(list), WM_NOTIFY, click.hdr.idFrom, reinterpret_cast<LPARAM>(&click));
    return "clicked";
}

std::string windowIcon(HWND window)
{
    char text[64];
    std::snprintf(text, sizeof text, "%p", reinterpret_cast<void *>(sendTo(window, WM_GETICON, ICON_BIG, 0)));
    return text;
}

// ------------------------------------------------------------ file dialogs
// The program's imports of the two file dialogs are pointed at recorders
// that note what the program asked for and then show the real dialog, so
// that a test can still drive it. One line per call, tab separated: open or
// save, owner, flags, capacity, initial file, initial folder, title, filter
// (each NUL shown as \0), filter index, default extension; "(null)" for a
// null pointer.

typedef BOOL(WINAPI *FileDialogFunction)(OPENFILENAMEA *);

CRITICAL_SECTION recordingLock;
std::vector<std::string> fileDialogCalls;
FileDialogFunction realOpen, realSave;

std::string textOrNull(const char *text)
{
    return text != NULL ? text : "(null)";
}

// A filter list up to and with its closing empty entry; bounded, so that a
// list without one shows as cut off rather than read without end.
std::string filterList(const char *filter)
{
    if (filter == NULL)
        return "(null)";
    std::string shown;
    for (size_t i = 0; i < 1024; ++i) {
        if (filter[i] != '\0') {
            shown += filter[i];
            continue;
        }
        shown += "\\0";
        if (i > 0 && filter[i - 1] == '\0')
            break;
    }
    return shown;
}

void recordFileDialog(const char *kind, const OPENFILENAMEA *dialog)
{
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "%llx\t%#lx\t%lu",
                  static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(dialog->hwndOwner)),
                  static_cast<unsigned long>(dialog->Flags), static_cast<unsigned long>(dialog->nMaxFile));
    std::string line = std::string(kind) + "\t" + numbers + "\t" + textOrNull(dialog->lpstrFile) + "\t" +
                       textOrNull(dialog->lpstrInitialDir) + "\t" + textOrNull(dialog->lpstrTitle) + "\t" +
                       filterList(dialog->lpstrFilter) + "\t" + std::to_string(dialog->nFilterIndex) + "\t" +
                       textOrNull(dialog->lpstrDefExt);
    EnterCriticalSection(&recordingLock);
    fileDialogCalls.push_back(line);
    LeaveCriticalSection(&recordingLock);
}

BOOL WINAPI recordOpen(OPENFILENAMEA *dialog)
{
    recordFileDialog("open", dialog);
    return realOpen(dialog);
}

BOOL WINAPI recordSave(OPENFILENAMEA *dialog)
{
    recordFileDialog("save", dialog);
    return realSave(dialog);
}

// Points every import slot of the program that holds `real` at
// `replacement`; the number of slots changed. Slots are pointer sized on
// both architectures, whatever the thunk layout around them.
int patchImports(void *real, void *replacement)
{
    BYTE *base = reinterpret_cast<BYTE *>(GetModuleHandleA(NULL));
    const IMAGE_NT_HEADERS *headers =
        reinterpret_cast<const IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (real == NULL || imports.VirtualAddress == 0)
        return 0;
    int patched = 0;
    for (const IMAGE_IMPORT_DESCRIPTOR *library =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
         library->Name != 0; ++library) {
        for (void **slot = reinterpret_cast<void **>(base + library->FirstThunk); *slot != NULL; ++slot) {
            if (*slot != real)
                continue;
            DWORD protection;
            if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection))
                continue;
            InterlockedExchangePointer(slot, replacement);
            VirtualProtect(slot, sizeof *slot, protection, &protection);
            ++patched;
        }
    }
    return patched;
}

// "hooked <slots>": how many import slots this request pointed at the
// recorders.
std::string hookFileDialogs()
{
    if (realOpen == NULL) {
        HMODULE dialogs = GetModuleHandleA("comdlg32.dll");
        if (dialogs == NULL)
            return "error comdlg32 not loaded";
        realOpen = reinterpret_cast<FileDialogFunction>(
            reinterpret_cast<void *>(GetProcAddress(dialogs, "GetOpenFileNameA")));
        realSave = reinterpret_cast<FileDialogFunction>(
            reinterpret_cast<void *>(GetProcAddress(dialogs, "GetSaveFileNameA")));
    }
    int slots = patchImports(reinterpret_cast<void *>(realOpen), reinterpret_cast<void *>(recordOpen)) +
                patchImports(reinterpret_cast<void *>(realSave), reinterpret_cast<void *>(recordSave));
    return "hooked " + std::to_string(slots);
}

std::string fileDialogs()
{
    std::string answer;
    EnterCriticalSection(&recordingLock);
    for (const std::string &line : fileDialogCalls)
        answer += line + "\n";
    LeaveCriticalSection(&recordingLock);
    return answer;
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
    if (cursor == LoadCursorA(NULL, MAKEINTRESOURCEA(32514))) // IDC_WAIT
        return "wait";
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
    if (verb == "hookfiledialogs")
        return hookFileDialogs();
    if (verb == "filedialogs")
        return fileDialogs();
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
    if (verb == "listnotifyclick")
        return notifyClick(list);
    if (verb == "comboentries")
        return comboEntries(list);
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
        InitializeCriticalSection(&recordingLock);
        InitializeCriticalSection(&helpCallsLock);
        HANDLE thread = CreateThread(NULL, 0, serve, NULL, 0, NULL);
        if (thread != NULL)
            CloseHandle(thread);
    }
    return TRUE;
}
