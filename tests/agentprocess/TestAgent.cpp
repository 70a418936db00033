// Stands in for the agent process in the end-to-end tests:
//   test_agent.exe <log file> [<answer to WM_COPYDATA, default 1>]
// It owns a hidden top-level window of the agent's class, so that the key
// manager finds it like the real one, and appends one line per message of
// the agent channel to the log file, opened afresh for each line so that
// the test can read it at any time. The test's orders (AgentProcess.h)
// make it play the agent's side of the key-set refresh.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "AgentProcess.h"

namespace {

// Literal here on purpose: the product's own header is what is under test.
const char AGENT_CLASS[] = "Glimmerpad_KeyAgent_HiddenWindow";
const char REFRESH_EVENT[] = "Agent_Refresh_Event";
const UINT REFRESH_MESSAGE = WM_USER + 4;

std::string logPath;
LRESULT copyDataAnswer = 1;
HANDLE refreshEvent = NULL;
UINT exitCode = 0;

void appendLine(std::string line)
{
    line += "\r\n";
    HANDLE file = CreateFileA(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, NULL);
    CloseHandle(file);
}

void logLine(const char *format, ...)
{
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length >= 0)
        appendLine(line);
}

// A payload of any length goes into the log whole.
void logCopyData(WPARAM sender, const COPYDATASTRUCT *data)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string line = "copydata " + std::to_string(static_cast<unsigned long long>(sender)) + " " +
                       std::to_string(static_cast<unsigned long long>(data->dwData)) + " " +
                       std::to_string(data->cbData) + " ";
    const unsigned char *bytes = static_cast<const unsigned char *>(data->lpData);
    for (DWORD i = 0; bytes != NULL && i < data->cbData; ++i) {
        line += DIGITS[bytes[i] >> 4];
        line += DIGITS[bytes[i] & 15];
    }
    appendLine(line);
}

// The agent's side of a refresh announcement that is sent: the sender waits
// for the key manager, which may itself wait for the event this process
// holds, so the window's own thread must stay free for the next order.
DWORD WINAPI sendRefresh(void *target)
{
    HWND window = static_cast<HWND>(target);
    logLine("order send-refresh %llu started", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
    LRESULT result = SendMessageA(window, REFRESH_MESSAGE, 0, 0);
    logLine("order send-refresh answered %lld", static_cast<long long>(result));
    return 0;
}

LRESULT carryOut(HWND window, UINT order, WPARAM wParam, LPARAM lParam)
{
    switch (order) {
    case testagent::ORDER_HOLD_REFRESH_EVENT:
        if (refreshEvent == NULL)
            refreshEvent = CreateEventA(NULL, TRUE, FALSE, REFRESH_EVENT);
        if (refreshEvent == NULL || !ResetEvent(refreshEvent))
            return 0;
        logLine("order hold-refresh-event");
        return 1;
    case testagent::ORDER_SET_REFRESH_EVENT:
        if (refreshEvent == NULL)
            return 1; // never held: nothing to let go
        logLine("order set-refresh-event");
        return SetEvent(refreshEvent) ? 1 : 0;
    case testagent::ORDER_POST_REFRESH:
        logLine("order post-refresh %llu", static_cast<unsigned long long>(lParam));
        return PostMessageA(reinterpret_cast<HWND>(lParam), REFRESH_MESSAGE, 0, 0) ? 1 : 0;
    case testagent::ORDER_SEND_REFRESH: {
        HANDLE thread = CreateThread(NULL, 0, sendRefresh, reinterpret_cast<void *>(lParam), 0, NULL);
        if (thread == NULL)
            return 0;
        CloseHandle(thread);
        return 1;
    }
    case testagent::ORDER_EXIT:
        logLine("order exit %llu", static_cast<unsigned long long>(wParam));
        exitCode = static_cast<UINT>(wParam);
        DestroyWindow(window);
        return 1;
    default:
        return 0;
    }
}

LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message >= WM_USER && message < WM_USER + 16) {
        logLine("received %u %llu %lld", message, static_cast<unsigned long long>(wParam),
                static_cast<long long>(lParam));
        return 0;
    }
    switch (message) {
    case WM_COPYDATA:
        logCopyData(wParam, reinterpret_cast<const COPYDATASTRUCT *>(lParam));
        return copyDataAnswer;
    case WM_CLOSE:
        // The real agent ends when the key manager tells it to.
        logLine("received %u %llu %lld", message, static_cast<unsigned long long>(wParam),
                static_cast<long long>(lParam));
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        if (message >= testagent::ORDER_HOLD_REFRESH_EVENT && message <= testagent::ORDER_EXIT)
            return carryOut(window, message, wParam, lParam);
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    if (__argc < 2)
        return 2;
    logPath = __argv[1];
    if (__argc > 2)
        copyDataAnswer = static_cast<LRESULT>(strtoll(__argv[2], NULL, 0));

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = AGENT_CLASS;
    if (!RegisterClassA(&windowClass))
        return 3;
    // Top-level and never shown: FindWindow sees it, the user does not.
    HWND window = CreateWindowExA(0, AGENT_CLASS, "", WS_POPUP, 0, 0, 0, 0, NULL, NULL, instance, NULL);
    if (window == NULL)
        return 4;
    logLine("started %llu", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));

    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    if (refreshEvent != NULL)
        CloseHandle(refreshEvent);
    return static_cast<int>(exitCode);
}
