#include "AgentWindow.h"

namespace e2e {

static const char CLASS_NAME[] = "Glimmerpad_KeyAgent_HiddenWindow";

AgentWindow::AgentWindow()
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = CLASS_NAME;
    RegisterClassA(&windowClass); // fails harmlessly when already registered
    window = CreateWindowExA(0, CLASS_NAME, "", WS_POPUP, 0, 0, 0, 0, NULL, NULL,
                             GetModuleHandleA(NULL), this);
}

AgentWindow::~AgentWindow()
{
    if (IsWindow(window)) {
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        DestroyWindow(window);
    }
}

int AgentWindow::count(UINT message) const
{
    int n = 0;
    for (const RecordedMessage &m : messages)
        n += m.message == message;
    return n;
}

LRESULT CALLBACK AgentWindow::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        CREATESTRUCTA *create = reinterpret_cast<CREATESTRUCTA *>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    AgentWindow *self = reinterpret_cast<AgentWindow *>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self != NULL && (message == WM_CLOSE || message == WM_COPYDATA || (message >= WM_USER && message < WM_USER + 16))) {
        self->messages.push_back(RecordedMessage{message, wParam, lParam});
        return 0; // closing is the test's to decide
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace e2e
