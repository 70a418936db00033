// A stand-in for the agent process, run as a process of its own
// (tests/agentprocess, test_agent.exe): it owns the agent's hidden window,
// writes every message of the agent channel it receives to a log file, and
// follows the test's orders. The order numbers below are shared by both
// sides; nothing of the product is used, so that a wrong number or name in
// the product shows up as a message the agent never got.
#ifndef GAGENT_TEST_AGENTPROCESS_H
#define GAGENT_TEST_AGENTPROCESS_H

#include <windows.h>

#include <string>
#include <vector>

namespace testagent {

// Sent or posted by the test to the agent's window. Each answers 1 when done.
enum Order : UINT {
    ORDER_HOLD_REFRESH_EVENT = WM_APP + 1, // create or open the refresh event and reset it
    ORDER_SET_REFRESH_EVENT = WM_APP + 2,  // signal it again
    ORDER_POST_REFRESH = WM_APP + 3,       // post the refresh message to the window in lParam
    ORDER_SEND_REFRESH = WM_APP + 4,       // send it from a thread of its own, logging the answer
    ORDER_EXIT = WM_APP + 5                // end with exit code wParam, without WM_CLOSE
};

} // namespace testagent

namespace e2e {

class AgentProcess {
public:
    // The agent logs to `logPath` and answers WM_COPYDATA with `copyDataAnswer`.
    explicit AgentProcess(const std::string &logPath, long copyDataAnswer = 1);
    ~AgentProcess(); // ends the process if it still runs

    // Starts the process and waits until its window exists.
    bool start();
    HWND window() const { return hidden; }
    DWORD processId() const { return info.dwProcessId; }

    // Every line of the log, in order. Received messages read
    //   received <message> <wParam> <lParam>        (decimal)
    //   copydata <sender> <dwData> <cbData> <bytes as hex>
    // and the orders' own lines start with "order".
    std::vector<std::string> log() const;
    // The "received" and "copydata" lines only.
    std::vector<std::string> received() const;

    // Orders; false when the agent did not carry one out in time.
    bool holdRefreshEventReset();
    bool setRefreshEvent();
    bool postRefreshTo(HWND target);
    bool sendRefreshTo(HWND target);
    bool orderExit(DWORD exitCode = 0);

    bool isRunning() const;
    // The exit code, or STILL_ACTIVE when it did not end in time.
    DWORD waitForExit(DWORD ms = 10000);

private:
    bool order(UINT message, WPARAM wParam, LPARAM lParam);

    std::string logFile;
    long answer;
    PROCESS_INFORMATION info;
    HWND hidden;
};

} // namespace e2e

#endif
