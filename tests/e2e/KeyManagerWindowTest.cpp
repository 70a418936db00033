// The key manager window's frame as the user sees and handles it.
#include <gtest/gtest.h>

#include "AppFixture.h"
#include "resource.h"

using namespace e2e;

namespace {

TEST_F(StartedApp, ShowsTitleIconMenuAndStatusBarCentredOnTheScreen)
{
    EXPECT_EQ(windowText(window), ENGLISH_TITLE);
    EXPECT_NE(app->probe("icon"), "0000000000000000");
    EXPECT_NE(app->probe("icon"), "00000000");
    EXPECT_EQ(app->statusBarText(), "");
    EXPECT_FALSE(app->statusBarIsSimple());

    RECT rect;
    GetWindowRect(window, &rect);
    int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_EQ(rect.left, (screenWidth - (rect.right - rect.left)) / 2);
    EXPECT_EQ(rect.top, (screenHeight - (rect.bottom - rect.top)) / 2);
}

TEST_F(StartedApp, MenuOffersEveryCommandWithAHelpLine)
{
    const int commands[] = {IDM_ADD_KEY,     IDM_EXPORT_KEY, IDM_STOP_AGENT, IDM_VIEW_AGENT_LOG,
                            IDM_HELP_TOPICS, IDM_WHATS_THIS, IDM_ABOUT,      IDM_EXIT,
                            IDM_CONFIRM_KEY_OP, IDM_ALLOW_ADD, IDM_ALLOW_DELETE};
    for (int id : commands) {
        EXPECT_FALSE(app->menuText(id).empty()) << "menu item " << id;
        SendMessageA(window, WM_MENUSELECT, MAKEWPARAM(id, MF_STRING), (LPARAM)GetMenu(window));
        EXPECT_FALSE(app->statusBarText().empty()) << "help line of menu item " << id;
    }
}

TEST_F(StartedApp, WithoutAnAgentKeyCommandsAreUnavailableAndPoliciesShowTheirDefaults)
{
    EXPECT_TRUE(app->menuState(IDM_ADD_KEY) & MF_GRAYED);
    EXPECT_TRUE(app->menuState(IDM_EXPORT_KEY) & MF_GRAYED);
    const int buttons[] = {IDC_GENERATE_KEY, IDC_REMOVE_KEY, IDC_KEY_TEXT,
                           IDC_AGENT_PASSPHRASE, IDC_LOCK_AGENT, IDC_UNLOCK_AGENT};
    for (int id : buttons)
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, id))) << "button " << id;
    EXPECT_FALSE(app->menuState(IDM_CONFIRM_KEY_OP) & MF_CHECKED);
    EXPECT_TRUE(app->menuState(IDM_ALLOW_ADD) & MF_CHECKED);
    EXPECT_TRUE(app->menuState(IDM_ALLOW_DELETE) & MF_CHECKED);
}

enum CloseWay { EXIT_COMMAND, EXIT_FROM_MENU, CLOSE_BOX, ALT_F4 };

class ClosingWays : public StartedApp, public ::testing::WithParamInterface<CloseWay> {};

TEST_P(ClosingWays, EndTheProgramWithExitCodeZero)
{
    switch (GetParam()) {
    case EXIT_COMMAND:
        PostMessageA(window, WM_COMMAND, IDM_EXIT, 0);
        break;
    case EXIT_FROM_MENU:
        ASSERT_TRUE(makeForeground(window));
        pressKeyWith(VK_MENU, 'F');
        settle();
        pressKey('X');
        break;
    case CLOSE_BOX:
        PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
    case ALT_F4:
        ASSERT_TRUE(makeForeground(window));
        pressKeyWith(VK_MENU, VK_F4);
        break;
    }
    EXPECT_EQ(app->waitForExit(), 0u);
}

std::string closeWayName(const ::testing::TestParamInfo<CloseWay> &way)
{
    static const char *const names[] = {"ExitCommand", "ExitFromMenu", "CloseBox", "AltF4"};
    return names[way.param];
}

INSTANTIATE_TEST_SUITE_P(Closing, ClosingWays,
                         ::testing::Values(EXIT_COMMAND, EXIT_FROM_MENU, CLOSE_BOX, ALT_F4),
                         closeWayName);

TEST_F(StartedApp, EscapeAndEnterDoNotCloseTheWindow)
{
    ASSERT_TRUE(makeForeground(window));
    pressKey(VK_ESCAPE);
    pressKey(VK_RETURN);
    PostMessageA(window, WM_COMMAND, IDOK, 0);
    PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
    settle(500);
    EXPECT_TRUE(app->isRunning());
    EXPECT_TRUE(IsWindowVisible(window));
}

TEST_F(StartedApp, MenuHelpFollowsTheKeyboardThroughTheMenus)
{
    ASSERT_TRUE(makeForeground(window));
    pressKeyWith(VK_MENU, 'F');
    settle();
    EXPECT_TRUE(app->statusBarIsSimple());
    EXPECT_EQ(app->statusBarText(), "Adds a key to the agent from a private key file");

    pressKey(VK_DOWN);
    settle();
    EXPECT_EQ(app->statusBarText(), "Saves the public half of the selected key to a file");

    // Pointing at a separator keeps the last line.
    SendMessageA(window, WM_MENUSELECT, MAKEWPARAM(0, MF_SEPARATOR), (LPARAM)GetMenu(window));
    EXPECT_EQ(app->statusBarText(), "Saves the public half of the selected key to a file");

    pressKey(VK_RIGHT);
    settle();
    EXPECT_EQ(app->statusBarText(), "Asks for your confirmation each time a key is used");

    pressKey(VK_ESCAPE);
    pressKey(VK_ESCAPE);
    pressKey(VK_ESCAPE);
    settle();
    EXPECT_FALSE(app->statusBarIsSimple());
    EXPECT_TRUE(app->isRunning());
}

TEST_F(StartedApp, MenuItemWithoutAHelpStringShowsAnEmptyLine)
{
    SendMessageA(window, WM_MENUSELECT, MAKEWPARAM(IDM_EXIT, MF_STRING), (LPARAM)GetMenu(window));
    EXPECT_FALSE(app->statusBarText().empty());
    SendMessageA(window, WM_MENUSELECT, MAKEWPARAM(4321, MF_STRING), (LPARAM)GetMenu(window));
    EXPECT_TRUE(app->statusBarIsSimple());
    EXPECT_EQ(app->statusBarText(), "");
    SendMessageA(window, WM_MENUSELECT, MAKEWPARAM(0, 0xFFFF), 0);
    EXPECT_FALSE(app->statusBarIsSimple());
}

} // namespace
