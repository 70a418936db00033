#include "WindowPlacement.h"

#include "CenterGeometry.h"

void centerWindow(HWND window, HWND owner)
{
    PlacementMetrics metrics;
    metrics.screenWidth = GetSystemMetrics(SM_CXSCREEN);
    metrics.screenHeight = GetSystemMetrics(SM_CYSCREEN);
    metrics.borderWidth = GetSystemMetrics(SM_CXBORDER);
    metrics.captionHeight = GetSystemMetrics(SM_CYCAPTION);

    RECT windowRect;
    GetWindowRect(window, &windowRect);

    ScreenRect area = {0, 0, metrics.screenWidth, metrics.screenHeight};
    if (owner != NULL && !IsIconic(owner)) {
        RECT ownerRect;
        GetWindowRect(owner, &ownerRect);
        ScreenRect ownerArea = {ownerRect.left, ownerRect.top, ownerRect.right, ownerRect.bottom};
        area = visibleOwnerArea(ownerArea, metrics);
    }

    PlacementPoint p = centeredPosition(area, windowRect.right - windowRect.left,
                                        windowRect.bottom - windowRect.top, metrics);
    SetWindowPos(window, HWND_TOP, p.x, p.y, 0, 0, SWP_NOSIZE);
}

static bool foregroundNeedsAttachedInput()
{
    OSVERSIONINFOA version;
    ZeroMemory(&version, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    // Windows 2000 and later refuse the foreground to a thread that does
    // not share input with the current foreground thread.
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 5;
}

BOOL forceForeground(HWND window)
{
    if (!foregroundNeedsAttachedInput())
        return SetForegroundWindow(window);

    DWORD foregroundThread = GetWindowThreadProcessId(GetForegroundWindow(), NULL);
    DWORD callingThread = GetCurrentThreadId();
    bool attached = foregroundThread != callingThread;
    if (attached)
        AttachThreadInput(foregroundThread, callingThread, TRUE);

    BOOL result = SetForegroundWindow(window);

    if (attached) {
        AttachThreadInput(foregroundThread, callingThread, FALSE);
        InvalidateRect(window, NULL, TRUE);
    }
    return result;
}
