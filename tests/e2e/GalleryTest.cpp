// Pictures of every window the program shows, for a person to look at, in
// the language that GAGENT_TEST_UI_FOLDER names (English when it is unset).
// Run by `make gallery` once per language; disabled in the ordinary test run.
#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "AppFixture.h"
#include "WineHelpViewer.h"
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

// An open drop-down menu (class #32768) or list of a combo box (ComboLBox)
// is a window of its own.
bool openPopupRect(DWORD processId, const char *className, RECT &rect)
{
    for (HWND menu = FindWindowExA(NULL, NULL, className, NULL); menu != NULL;
         menu = FindWindowExA(NULL, menu, className, NULL)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(menu, &owner);
        if (owner == processId && IsWindowVisible(menu))
            return GetWindowRect(menu, &rect) != FALSE;
    }
    return false;
}

// The access key of a top-level menu of the language's module, as a
// virtual key: "&Datei" gives 'D', "ファイル(&F)" gives 'F'.
BYTE menuAccessKey(const std::string &folder, int position)
{
    HMODULE module = LoadLibraryExA((stageDirectory() + "\\" + folder + "\\gagent.dll").c_str(), NULL,
                                    LOAD_LIBRARY_AS_DATAFILE);
    HMENU menu = LoadMenuA(module, MAKEINTRESOURCEA(IDR_MAIN_MENU));
    wchar_t title[64] = L"";
    GetMenuStringW(menu, position, title, 64, MF_BYPOSITION);
    DestroyMenu(menu);
    FreeLibrary(module);
    const wchar_t *amp = wcschr(title, L'&');
    return amp != NULL ? static_cast<BYTE>(towupper(amp[1])) : 0;
}

class Gallery : public StartedApp {};

TEST_F(Gallery, DISABLED_KeyManagerWindow)
{
    settle(500);
    EXPECT_TRUE(saveWindowImage(window, galleryFile("key-manager")));
}

TEST_F(Gallery, DISABLED_KeyManagerMenusWithHelpLine)
{
    const char *const menus[] = {"key-manager-file-menu", "key-manager-agent-menu", "key-manager-help-menu"};
    for (int position = 0; position < 3; ++position) {
        const char *name = menus[position];
        BYTE key = menuAccessKey(languageFolder, position);
        ASSERT_NE(key, 0) << name;
        ASSERT_TRUE(makeForeground(window));
        pressKeyWith(VK_MENU, key);
        settle(500);
        RECT windowRect, menuRect;
        GetWindowRect(window, &windowRect);
        ASSERT_TRUE(openPopupRect(app->processId(), "#32768", menuRect)) << name;
        EXPECT_TRUE(saveScreenImage(unionOf(windowRect, menuRect), galleryFile(name)));
        pressKey(VK_ESCAPE);
        pressKey(VK_ESCAPE);
        settle();
    }
}

class GalleryWithAgent : public AgentApp {
protected:
    // The key generation dialog over the key manager, with a name entered.
    HWND openGenerateKeyDialog(const std::string &agentScript)
    {
        script(agentScript);
        start();
        if (waitForWindow() == NULL)
            return NULL;
        PostMessageA(window, WM_COMMAND, IDC_GENERATE_KEY, 0);
        HWND dialog = app->waitForDialogOwnedBy(window);
        SetDlgItemTextA(dialog, IDC_KEY_FILE, "id_build_server");
        return dialog;
    }

    void saveWithTypeList(const std::string &agentScript, const std::string &name)
    {
        HWND dialog = openGenerateKeyDialog(agentScript);
        ASSERT_NE(dialog, (HWND)NULL);
        ASSERT_TRUE(makeForeground(dialog));
        settle(500);
        SendDlgItemMessageA(dialog, IDC_KEY_TYPE, CB_SHOWDROPDOWN, TRUE, 0);
        settle(500);
        RECT dialogRect, listRect;
        GetWindowRect(dialog, &dialogRect);
        ASSERT_TRUE(openPopupRect(app->processId(), "ComboLBox", listRect));
        EXPECT_TRUE(saveScreenImage(unionOf(dialogRect, listRect), galleryFile(name)));
        // A list left open holds the pointer for the next program.
        SendDlgItemMessageA(dialog, IDC_KEY_TYPE, CB_SHOWDROPDOWN, FALSE, 0);
    }
};

TEST_F(GalleryWithAgent, DISABLED_KeyManagerWithKeys)
{
    script("key work-laptop|1|SHA256:9v1qVwQ2dQ3b0m4rHcJ+u3f0uGkq8kCw0i2fJ3yF1sE\n"
           "key github-deploy|0|SHA256:Qm7cM1zjJx3P6mZ5v4y8cFf6Z9QhQb1Jc2rJw7yX0aA\n"
           "key build-server|2|SHA256:Hx0e7c2Z4nQmK8u1b5v9pL3sT6wR0yA2dF4gJ7kM9oP\n"
           "key old-backup|3|SHA256:b3Jk9LmN2pQ5rS8tU1vW4xY7zA0cD3eF6gH9iK2lM5n\n"
           "key yubikey-5c|6|SHA256:Z2x5C8v1B4n7M0q3W6e9R2t5Y8u1I4o7P0a3S6d9F2g\n"
           "key smartcard|4|SHA256:K1l4J7h0G3f6D9s2A5p8O1i4U7y0T3r6E9w2Q5z8X1c\n"
           "key ci-runner|1|SHA256:Nn3Bb6Vv9Cc2Xx5Zz8Ll1Kk4Jj7Hh0Gg3Ff6Dd9Ss2A\n"
           "key home-router|1|SHA256:Pp0Oo3Ii6Uu9Yy2Tt5Rr8Ee1Ww4Qq7Aa0Ss3Dd6Ff9G\n"
           "key gitlab|0|SHA256:Mm5Nn8Bb1Vv4Cc7Xx0Zz3Aa6Ss9Dd2Ff5Gg8Hh1Jj4K\n"
           "key staging-db|2|SHA256:Ll2Kk5Jj8Hh1Gg4Ff7Dd0Ss3Aa6Qq9Ww2Ee5Rr8Tt1Y\n"
           "key personal|0|SHA256:Rr7Tt0Yy3Uu6Ii9Oo2Pp5Aa8Ss1Dd4Ff7Gg0Hh3Jj6K\n"
           "key archive-2019|1|SHA256:Cc4Vv7Bb0Nn3Mm6Ll9Kk2Jj5Hh8Gg1Ff4Dd7Ss0Aa3Q\n");
    start();
    ASSERT_NE(waitForWindow(), (HWND)NULL);
    clickRow(1);
    settle(300);
    EXPECT_TRUE(saveWindowImage(window, galleryFile("key-manager-with-keys")));
}

// Each dialog of a command, opened over a key manager with a selected key.
TEST_F(GalleryWithAgent, DISABLED_CommandDialogs)
{
    AgentProcess agentProcess(sandbox->file("agent.log"));
    ASSERT_TRUE(agentProcess.start());
    script("key work-laptop|1|SHA256:9v1qVwQ2dQ3b0m4rHcJ+u3f0uGkq8kCw0i2fJ3yF1sE\n"
           "key github-deploy|0|SHA256:Qm7cM1zjJx3P6mZ5v4y8cFf6Z9QhQb1Jc2rJw7yX0aA\n"
           "lock 6\n");
    start();
    ASSERT_NE(waitForWindow(), (HWND)NULL);
    clickRow(0);
    const struct {
        int command;
        const char *name;
        int closeWith;
    } dialogs[] = {
        {IDM_EXPORT_KEY, "export-key", IDCANCEL},
        {IDC_KEY_TEXT, "key-settings", IDCANCEL},
        {IDC_UNLOCK_AGENT, "unlock-agent", IDCANCEL},
        {IDC_AGENT_PASSPHRASE, "agent-passphrase", IDCANCEL},
        {IDM_ABOUT, "about", IDOK},
        {IDC_LOCK_AGENT, "lock-failed", IDOK},
    };
    for (const auto &dialog : dialogs) {
        command(dialog.command);
        HWND shown = app->waitForDialogOwnedBy(window);
        ASSERT_NE(shown, (HWND)NULL) << dialog.name;
        settle(400);
        EXPECT_TRUE(saveWindowImage(shown, galleryFile(dialog.name)));
        PostMessageA(shown, WM_COMMAND, dialog.closeWith, 0);
        ASSERT_TRUE(waitUntil(5000, [&] { return !IsWindow(shown); })) << dialog.name;
    }
}

TEST_F(GalleryWithAgent, DISABLED_GenerateKeyDialog)
{
    saveWithTypeList("", "generate-key");
}

TEST_F(GalleryWithAgent, DISABLED_GenerateKeyDialogInRestrictedMode)
{
    saveWithTypeList("restricted 1\n", "generate-key-restricted");
}

TEST_F(GalleryWithAgent, DISABLED_GenerateKeyWhileWorking)
{
    HWND dialog = openGenerateKeyDialog("generateKeyTakes 60000\n");
    ASSERT_NE(dialog, (HWND)NULL);
    RECT field;
    GetWindowRect(GetDlgItem(dialog, IDC_KEY_SIZE), &field);
    SetCursorPos(field.right + 30, field.top + 4);
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    settle(500);
    // The screen holds no cursor: the one the program shows is drawn in.
    ASSERT_EQ(app->cursor(), "wait");
    EXPECT_TRUE(saveWindowImage(dialog, galleryFile("generate-key-working"), LoadCursorA(NULL, IDC_WAIT)));
}

class GalleryWithHelp : public HelpApp {};

TEST_F(GalleryWithHelp, DISABLED_WineHelpViewerOnTheKeyManagerTopic)
{
    start();
    ASSERT_NE(waitForWindow(), (HWND)NULL);
    // Wine's WinHelpA fails while its viewer is still starting.
    ASSERT_TRUE(helpviewer::start());
    command(IDM_HELP_TOPICS);
    // The contents topic is titled like the program.
    std::string title = moduleString(languageFolder, IDS_APP_TITLE);
    std::string shown = helpviewer::waitForTextBeginning(title);
    ASSERT_EQ(shown.compare(0, title.size(), title), 0) << shown;
    HWND viewer = helpviewer::shownWindow();
    SetWindowPos(viewer, HWND_TOP, 60, 40, 780, 660, 0);
    settle(800);
    EXPECT_TRUE(saveWindowImage(viewer, galleryFile("help-viewer-key-manager")));
}

TEST_F(GalleryWithHelp, DISABLED_WhatsThisModeWithItsCursor)
{
    script("key work-laptop|1|SHA256:9v1qVwQ2dQ3b0m4rHcJ+u3f0uGkq8kCw0i2fJ3yF1sE\n"
           "key github-deploy|0|SHA256:Qm7cM1zjJx3P6mZ5v4y8cFf6Z9QhQb1Jc2rJw7yX0aA\n");
    start();
    ASSERT_NE(waitForWindow(), (HWND)NULL);
    clickRow(0);
    command(IDM_WHATS_THIS);
    RECT button;
    GetWindowRect(GetDlgItem(window, IDC_REMOVE_KEY), &button);
    SetCursorPos(button.left + 12, (button.top + button.bottom) / 2);
    ASSERT_TRUE(waitUntil(3000, [&] { return app->probe("cursor") == "help"; })) << app->probe("cursor");
    settle(300);
    RECT frame;
    GetWindowRect(window, &frame);
    EXPECT_TRUE(saveScreenImage(frame, galleryFile("key-manager-whats-this"),
                                LoadCursorA(NULL, MAKEINTRESOURCEA(32651))));
    PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 0);
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
