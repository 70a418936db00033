// Where centerWindow puts real windows: which area it centres over for the
// owner it is given, as Windows reports the owner. The edge arithmetic
// itself is covered by the native geometry tests.
#include <gtest/gtest.h>

#include "InProcessSupport.h"
#include "WindowPlacement.h"

using namespace inprocess;

namespace {

class CenterWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        screenWidth = GetSystemMetrics(SM_CXSCREEN);
        screenHeight = GetSystemMetrics(SM_CYSCREEN);
        ASSERT_GT(screenWidth, 800);
        ASSERT_GT(screenHeight, 600);
    }

    // A popup window of the given size, far from where any case puts it.
    HWND createWindowOfSize(WindowGuard &guard, int width, int height)
    {
        guard.handle = createPlainWindow(7, 9, width, height, WS_POPUP | WS_VISIBLE);
        RECT rect = rectOf(guard.handle);
        EXPECT_EQ(rect.right - rect.left, width) << "the platform changed the size";
        EXPECT_EQ(rect.bottom - rect.top, height) << "the platform changed the size";
        return guard.handle;
    }

    HWND createOwner(WindowGuard &guard, int x, int y, int width, int height)
    {
        guard.handle = createPlainWindow(x, y, width, height, WS_OVERLAPPEDWINDOW | WS_VISIBLE);
        RECT rect = rectOf(guard.handle);
        EXPECT_EQ(rect.left, x) << "owner not where the case needs it";
        EXPECT_EQ(rect.top, y) << "owner not where the case needs it";
        return guard.handle;
    }

    static RECT rectOf(HWND window)
    {
        RECT rect = {0, 0, 0, 0};
        GetWindowRect(window, &rect);
        return rect;
    }

    // Centres `window` and answers its new top-left corner, checking that
    // its size was left alone.
    POINT centre(HWND window, HWND owner)
    {
        RECT before = rectOf(window);
        centerWindow(window, owner);
        RECT after = rectOf(window);
        EXPECT_EQ(after.right - after.left, before.right - before.left);
        EXPECT_EQ(after.bottom - after.top, before.bottom - before.top);
        POINT corner = {after.left, after.top};
        return corner;
    }

    int screenWidth = 0;
    int screenHeight = 0;
};

// Whether `upper` lies above `lower` in the z-order.
bool isAbove(HWND upper, HWND lower)
{
    for (HWND above = GetWindow(lower, GW_HWNDPREV); above != NULL; above = GetWindow(above, GW_HWNDPREV)) {
        if (above == upper)
            return true;
    }
    return false;
}

TEST_F(CenterWindow, WithoutOwnerGoesToTheMiddleOfTheScreen)
{
    WindowGuard window;
    createWindowOfSize(window, 300, 200);

    POINT corner = centre(window.handle, NULL);

    EXPECT_EQ(corner.x, (screenWidth - 300) / 2);
    EXPECT_EQ(corner.y, (screenHeight - 200) / 2);
}

TEST_F(CenterWindow, OverAnOwnerOnTheScreenGoesToTheMiddleOfTheOwner)
{
    WindowGuard owner, window;
    createOwner(owner, 100, 200, 600, 400);
    createWindowOfSize(window, 300, 200);

    POINT corner = centre(window.handle, owner.handle);

    EXPECT_EQ(corner.x, 100 + (600 - 300) / 2);
    EXPECT_EQ(corner.y, 200 + (400 - 200) / 2);
}

TEST_F(CenterWindow, MinimisedOwnerCountsAsNoOwner)
{
    WindowGuard owner, window;
    createOwner(owner, 100, 200, 600, 400);
    ShowWindow(owner.handle, SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(owner.handle));
    createWindowOfSize(window, 300, 200);

    POINT corner = centre(window.handle, owner.handle);

    EXPECT_EQ(corner.x, (screenWidth - 300) / 2);
    EXPECT_EQ(corner.y, (screenHeight - 200) / 2);
}

TEST_F(CenterWindow, OwnerPartlyOffTheScreenIsCentredOverOnlyItsVisiblePart)
{
    WindowGuard owner, window;
    createOwner(owner, -400, -300, 800, 600); // visible part: 0,0 - 400,300
    createWindowOfSize(window, 200, 100);

    POINT corner = centre(window.handle, owner.handle);

    EXPECT_EQ(corner.x, 100);
    EXPECT_EQ(corner.y, 100);
}

TEST_F(CenterWindow, WindowLargerThanTheScreenGoesToTheScreensCorner)
{
    WindowGuard owner, window;
    createOwner(owner, 100, 100, 400, 300);
    createWindowOfSize(window, screenWidth + 200, screenHeight + 100);

    POINT overOwner = centre(window.handle, owner.handle);
    EXPECT_EQ(overOwner.x, 0);
    EXPECT_EQ(overOwner.y, 0);

    SetWindowPos(window.handle, NULL, 50, 60, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    POINT overScreen = centre(window.handle, NULL);
    EXPECT_EQ(overScreen.x, 0);
    EXPECT_EQ(overScreen.y, 0);
}

TEST_F(CenterWindow, CentredWindowComesToTheTop)
{
    WindowGuard window, later;
    createWindowOfSize(window, 300, 200);
    createWindowOfSize(later, 300, 200);
    ASSERT_TRUE(isAbove(later.handle, window.handle));

    centerWindow(window.handle, NULL);

    EXPECT_TRUE(isAbove(window.handle, later.handle));
}

} // namespace
