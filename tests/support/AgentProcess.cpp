#include "AgentProcess.h"

#include <fstream>

#include "Driver.h"
#include "Watchdog.h"

namespace e2e {

namespace {

const char AGENT_CLASS[] = "Glimmerpad_KeyAgent_HiddenWindow";

struct AgentSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK matchAgentWindow(HWND window, LPARAM context)
{
    AgentSearch *search = reinterpret_cast<AgentSearch *>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && windowClass(window) == AGENT_CLASS) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

AgentProcess::AgentProcess(const std::string &logPath, long copyDataAnswer)
    : logFile(logPath), answer(copyDataAnswer), hidden(NULL)
{
    ZeroMemory(&info, sizeof info);
}

AgentProcess::~AgentProcess()
{
    if (info.hProcess == NULL)
        return;
    // A held event would leave a waiting key manager hanging after the test.
    if (isRunning()) {
        setRefreshEvent();
        orderExit(0);
        if (waitForExit(3000) == STILL_ACTIVE) {
            TerminateProcess(info.hProcess, 99);
            WaitForSingleObject(info.hProcess, 5000);
        }
    }
    unwatchProcess(info.hProcess);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
}

bool AgentProcess::start()
{
    std::string executable = testProgramDirectory() + "\\test_agent.exe";
    std::string commandLine = "\"" + executable + "\" \"" + logFile + "\" " + std::to_string(answer);
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(executable.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info))
        return false;
    watchProcess(info.hProcess);
    waitUntil(10000, [&] {
        AgentSearch search = {info.dwProcessId, NULL};
        EnumWindows(matchAgentWindow, reinterpret_cast<LPARAM>(&search));
        hidden = search.found;
        return hidden != NULL || !isRunning();
    });
    return hidden != NULL;
}

std::vector<std::string> AgentProcess::log() const
{
    return readLines(logFile);
}

std::vector<std::string> AgentProcess::received() const
{
    std::vector<std::string> lines;
    for (const std::string &line : log()) {
        if (line.compare(0, 9, "received ") == 0 || line.compare(0, 9, "copydata ") == 0)
            lines.push_back(line);
    }
    return lines;
}

bool AgentProcess::order(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (hidden == NULL)
        return false;
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(hidden, message, wParam, lParam, SMTO_NORMAL, timeoutMs(5000), &result) &&
           result == 1;
}

bool AgentProcess::holdRefreshEventReset()
{
    return order(testagent::ORDER_HOLD_REFRESH_EVENT, 0, 0);
}

bool AgentProcess::setRefreshEvent()
{
    return order(testagent::ORDER_SET_REFRESH_EVENT, 0, 0);
}

bool AgentProcess::postRefreshTo(HWND target)
{
    return order(testagent::ORDER_POST_REFRESH, 0, reinterpret_cast<LPARAM>(target));
}

bool AgentProcess::sendRefreshTo(HWND target)
{
    return order(testagent::ORDER_SEND_REFRESH, 0, reinterpret_cast<LPARAM>(target));
}

bool AgentProcess::orderExit(DWORD exitCode)
{
    // Posted: the window is gone before a sent order could be answered.
    return hidden != NULL && PostMessageA(hidden, testagent::ORDER_EXIT, exitCode, 0) != FALSE;
}

bool AgentProcess::isRunning() const
{
    return info.hProcess != NULL && WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT;
}

DWORD AgentProcess::waitForExit(DWORD ms)
{
    return waitForProcessExit(info.hProcess, ms);
}

} // namespace e2e
