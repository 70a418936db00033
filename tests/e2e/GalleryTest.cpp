// Pictures of every window the program shows, for a person to look at.
// Run by `make gallery`; disabled in the ordinary test run.
#include <gtest/gtest.h>

#include "AppFixture.h"
#include "resource.h"

using namespace e2e;

namespace {

std::string galleryFile(const std::string &name)
{
    char folder[MAX_PATH] = "";
    GetEnvironmentVariableA("GAGENT_GALLERY", folder, sizeof folder);
    return std::string(folder[0] ? folder : ".") + "\\" + name + ".bmp";
}

RECT unionOf(const RECT &a, const RECT &b)
{
    RECT both;
    UnionRect(&both, &a, &b);
    return both;
}

// The open drop-down menu is a window of its own, class #32768.
bool openMenuRect(DWORD processId, RECT &rect)
{
    for (HWND menu = FindWindowExA(NULL, NULL, "#32768", NULL); menu != NULL;
         menu = FindWindowExA(NULL, menu, "#32768", NULL)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(menu, &owner);
        if (owner == processId && IsWindowVisible(menu))
            return GetWindowRect(menu, &rect) != FALSE;
    }
    return false;
}

class Gallery : public StartedApp {};

TEST_F(Gallery, DISABLED_KeyManagerWindow)
{
    settle(500);
    EXPECT_TRUE(saveWindowImage(window, galleryFile("key-manager")));
}

TEST_F(Gallery, DISABLED_KeyManagerMenusWithHelpLine)
{
    const struct {
        BYTE key;
        const char *name;
    } menus[] = {{'F', "key-manager-file-menu"}, {'A', "key-manager-agent-menu"}, {'H', "key-manager-help-menu"}};
    for (const auto &menu : menus) {
        ASSERT_TRUE(makeForeground(window));
        pressKeyWith(VK_MENU, menu.key);
        settle(500);
        RECT windowRect, menuRect;
        GetWindowRect(window, &windowRect);
        ASSERT_TRUE(openMenuRect(app->processId(), menuRect)) << menu.name;
        EXPECT_TRUE(saveScreenImage(unionOf(windowRect, menuRect), galleryFile(menu.name)));
        pressKey(VK_ESCAPE);
        pressKey(VK_ESCAPE);
        settle();
    }
}

TEST(GalleryStartup, DISABLED_MissingResourceModuleBox)
{
    Sandbox sandbox(currentTestName());
    sandbox.addProduct();
    sandbox.addInstallerDouble();
    App app(sandbox);
    ASSERT_TRUE(app.start());
    MessageBoxSeen box;
    ASSERT_TRUE(app.waitForMessageBox(box));
    settle(300);
    EXPECT_TRUE(saveWindowImage(box.window, galleryFile("missing-resource-module")));
    PostMessageA(box.window, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(app.waitForExit(), 0u);
}

} // namespace
