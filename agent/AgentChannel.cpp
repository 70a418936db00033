#include "AgentChannel.h"

HWND findAgentWindow()
{
    HWND window = FindWindowA(AGENT_WINDOW_CLASS, NULL);
    return window != NULL && IsWindow(window) ? window : NULL;
}
