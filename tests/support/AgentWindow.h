// A stand-in for the agent process's hidden window, owned by the test
// itself: it records what the program sends or posts to it.
#ifndef GAGENT_TEST_AGENTWINDOW_H
#define GAGENT_TEST_AGENTWINDOW_H

#include <windows.h>

#include <vector>

namespace e2e {

struct RecordedMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

class AgentWindow {
public:
    AgentWindow();
    ~AgentWindow();

    HWND handle() const { return window; }
    // Messages arrive while the test pumps (e2e::settle and every wait).
    const std::vector<RecordedMessage> &received() const { return messages; }
    int count(UINT message) const;

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND window;
    std::vector<RecordedMessage> messages;
};

} // namespace e2e

#endif
