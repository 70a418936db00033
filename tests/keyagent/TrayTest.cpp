// The agent's notification icon under Wine. Wine's explorer shows the icon
// in a window of its own ("Wine System Tray") while the display has no
// tray of its own, as the test session's has not; that window tells
// whether the icon is there, and shows the notice's balloon. Wine gives
// another process neither the icon's tooltip nor the balloon's text, so
// the tooltip is read from the icon's owner window, which carries it as
// its title, and each notice from the agent's log line for the balloon it
// asked the shell to show. Wine also drops the icons of windows that are
// gone, so whether the agent removes its own icon cannot be seen here.
#include "KeyAgentHarness.h"

#include "AgentResources.h"
#include "GalleryPicture.h"
#include "SettingsReader.h"
#include "TrayIcon.h"
#include "TrayWindow.h"

#include <shellapi.h>
#include <tlhelp32.h>

using namespace agenttest;

namespace {

const char* const kWineTray = "Wine System Tray";

HWND trayWindowWithin(DWORD ms) {
    HWND w = nullptr;
    for (DWORD end = GetTickCount() + scaled(ms); !(w = FindWindowA(AGENT_TRAY_WINDOW_CLASS, nullptr)) && GetTickCount() < end;)
        Sleep(20);
    return w;
}

std::string titleOf(HWND window) {
    char text[256] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// The tooltip as the icon shows it; the state changes by a posted message.
::testing::AssertionResult tipBecomes(HWND tray, const std::string& expected) {
    for (DWORD end = GetTickCount() + scaled(5000); GetTickCount() < end; Sleep(20))
        if (titleOf(tray) == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the tooltip is \"" << titleOf(tray) << "\", not \"" << expected << "\"";
}

std::string tip(const char* state, int keys) {
    return std::string("Glimmerpad Key Agent: ") + state + ", keys: " + std::to_string(keys);
}

UINT_PTR iconShown(HWND tray) { return reinterpret_cast<UINT_PTR>(GetPropA(tray, AGENT_TRAY_ICON_PROPERTY)); }

// The agent shows its icon from its own thread: the test waits for it.
bool iconBecomes(HWND tray, UINT_PTR icon) {
    for (DWORD end = GetTickCount() + scaled(5000); GetTickCount() < end; Sleep(20))
        if (iconShown(tray) == icon) return true;
    return false;
}

bool wineTrayShows(bool shown) {
    for (DWORD end = GetTickCount() + scaled(5000); GetTickCount() < end; Sleep(20)) {
        HWND w = FindWindowA(nullptr, kWineTray);
        if ((w && IsWindowVisible(w)) == shown) return true;
    }
    return false;
}

// A message box's text: its static control.
std::string boxText(HWND box) {
    char text[1024] = "";
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    return text;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The lock changes once the command's dialog has gone, on the agent's side.
bool lockBecomes(Client& c, bool locked) {
    for (DWORD end = GetTickCount() + scaled(5000); GetTickCount() < end; Sleep(20))
        if (isLocked(c) == locked) return true;
    return false;
}

bool signs(Client& c) {
    Bytes answer = c.call(signRequest());
    return !answer.empty() && answer[0] == 14;
}

struct ShownWindowSearch {
    const char* className;
    DWORD process;  // 0: any
    HWND found;
};

BOOL CALLBACK findShownWindow(HWND window, LPARAM search) {
    auto* wanted = reinterpret_cast<ShownWindowSearch*>(search);
    char className[32] = "";
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    GetClassNameA(window, className, sizeof className);
    if (std::strcmp(className, wanted->className) != 0 || !IsWindowVisible(window) ||
        (wanted->process && process != wanted->process))
        return TRUE;
    wanted->found = window;
    return FALSE;
}

HWND waitForShown(const char* className, DWORD process) {
    for (DWORD end = GetTickCount() + scaled(10000); GetTickCount() < end; Sleep(50)) {
        ShownWindowSearch search = {className, process, nullptr};
        EnumWindows(findShownWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
    }
    return nullptr;
}

DWORD shellProcess() {
    DWORD shell = 0;
    GetWindowThreadProcessId(FindWindowA(nullptr, kWineTray), &shell);
    return shell;
}

class TrayAgent : public KeyAgent {
protected:
    void SetUp() override {
        KeyAgent::SetUp();
        if (HasFatalFailure()) return;
        findTray();
    }
    void findTray() {
        tray_ = trayWindowWithin(10000);
        ASSERT_NE(tray_, nullptr) << "the notification icon's window";
    }
    void restartWithTray() {
        restartAgent();
        findTray();
    }
    void command(UINT id) { PostMessageA(tray_, WM_COMMAND, id, 0); }
    HWND dialog(HWND except = nullptr) { return waitForDialogOf(agent_.pi.dwProcessId, scaled(10000), except); }
    // The passphrase dialog answered with one passphrase, or two.
    void answer(HWND d, const char* first, const char* second = nullptr) {
        SetDlgItemTextA(d, IDC_TRAY_PASSPHRASE, first);
        if (second) SetDlgItemTextA(d, IDC_TRAY_REPEAT, second);
        PostMessageA(d, WM_COMMAND, IDOK, 0);
    }
    // The message box the command shows, its text, and the box closed.
    std::string closeBox(HWND except = nullptr) {
        HWND box = dialog(except);
        if (!box) return "(no message box)";
        std::string text = boxText(box);
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(waitGone(box, scaled(5000)));
        return text;
    }
    std::string keyFolder() { return home_ + "\\.ssh"; }
    std::string settingsFile() { return readFile(keyFolder() + "\\gAgent"); }
    bool logShows(const std::string& part, std::size_t times) {
        for (DWORD end = GetTickCount() + scaled(5000); GetTickCount() < end; Sleep(20))
            if (occurrences(readFile(log_), part) == times) return true;
        return false;
    }

    HWND tray_ = nullptr;
};

TEST_F(TrayAgent, TheIconShowsInWinesTrayAndItsTooltipFollowsTheLockAndTheKeys) {
    EXPECT_TRUE(wineTrayShows(true));
    EXPECT_TRUE(iconBecomes(tray_, IDI_AGENT_UNLOCKED));
    EXPECT_TRUE(tipBecomes(tray_, tip("unlocked", 0)));
    Client c(pipe_);
    ASSERT_EQ(c.call(addEdRequest()), kSuccess);
    EXPECT_TRUE(tipBecomes(tray_, tip("unlocked", 1)));
    ASSERT_EQ(c.call(lockRequest(22, "pw")), kSuccess);
    EXPECT_TRUE(tipBecomes(tray_, tip("locked", 1)));
    EXPECT_TRUE(iconBecomes(tray_, IDI_AGENT_LOCKED));
    ASSERT_EQ(c.call(lockRequest(23, "pw")), kSuccess);
    EXPECT_TRUE(tipBecomes(tray_, tip("unlocked", 1)));
    EXPECT_TRUE(iconBecomes(tray_, IDI_AGENT_UNLOCKED));
    ASSERT_EQ(c.call(Bytes{19}), kSuccess);
    EXPECT_TRUE(tipBecomes(tray_, tip("unlocked", 0)));
}

// As after Explorer restarted: the shell has lost the icon and announces
// its new taskbar.
TEST_F(TrayAgent, TheIconComesBackWhenTheShellAnnouncesANewTaskbar) {
    ASSERT_TRUE(wineTrayShows(true));
    NOTIFYICONDATAA lost = {};
    lost.cbSize = NOTIFYICONDATAA_V2_SIZE;
    lost.hWnd = tray_;
    lost.uID = AGENT_TRAY_ICON_ID;
    ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, &lost));
    ASSERT_TRUE(wineTrayShows(false));
    PostMessageA(tray_, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    EXPECT_TRUE(wineTrayShows(true));
    Client c(pipe_);
    ASSERT_EQ(c.call(addEdRequest()), kSuccess);
    EXPECT_TRUE(tipBecomes(tray_, tip("unlocked", 1)));
    EXPECT_TRUE(iconBecomes(tray_, IDI_AGENT_UNLOCKED));
}

TEST_F(TrayAgent, LockAsksForAPassphraseTwiceAndUnlockAsksForItOnce) {
    Client c(pipe_);
    command(IDM_TRAY_LOCK);
    HWND lock = dialog();
    ASSERT_NE(lock, nullptr);
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(lock, IDC_TRAY_REPEAT)));
    answer(lock, "one", "two");
    EXPECT_NE(closeBox(lock).find("differ"), std::string::npos);
    answer(lock, "", "");
    EXPECT_NE(closeBox(lock).find("Type a passphrase"), std::string::npos);
    EXPECT_FALSE(isLocked(c));
    answer(lock, "pw", "pw");
    EXPECT_TRUE(waitGone(lock, scaled(5000)));
    EXPECT_TRUE(lockBecomes(c, true));
    EXPECT_TRUE(tipBecomes(tray_, tip("locked", 0)));

    command(IDM_TRAY_LOCK);
    HWND unlock = dialog();
    ASSERT_NE(unlock, nullptr);
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(unlock, IDC_TRAY_REPEAT)));
    answer(unlock, "not it");
    EXPECT_TRUE(waitGone(unlock, scaled(5000)));
    EXPECT_NE(closeBox().find("could not be unlocked"), std::string::npos);
    EXPECT_TRUE(isLocked(c));
    // The wrong guess counted at the brake every unlock passes.
    EXPECT_NE(readFile(log_).find("unlock"), std::string::npos);
    command(IDM_TRAY_LOCK);
    unlock = dialog();
    ASSERT_NE(unlock, nullptr);
    answer(unlock, "pw");
    EXPECT_TRUE(waitGone(unlock, scaled(10000)));
    EXPECT_TRUE(lockBecomes(c, false));
}

// Wrong guesses from the pipe make the next unlock wait its turn at the
// brake; the menu's unlock waits there too, but the agent's windows go on
// answering meanwhile (the key manager sends to them and waits).
TEST_F(TrayAgent, AnUnlockWaitingAtTheBrakeLeavesTheAgentsWindowsAnswering) {
    Client c(pipe_);
    ASSERT_EQ(c.call(lockRequest(22, "pw")), kSuccess);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(c.call(lockRequest(23, "wrong")), Bytes{5});
    command(IDM_TRAY_LOCK);
    HWND unlock = dialog();
    ASSERT_NE(unlock, nullptr);
    answer(unlock, "pw");
    ASSERT_TRUE(waitGone(unlock, scaled(5000)));
    DWORD_PTR result = 0;
    EXPECT_TRUE(SendMessageTimeoutA(window_, WM_NULL, 0, 0, SMTO_NORMAL, 300, &result)) << "the control window answers";
    EXPECT_TRUE(SendMessageTimeoutA(tray_, WM_NULL, 0, 0, SMTO_NORMAL, 300, &result)) << "the icon's window answers";
    EXPECT_TRUE(lockBecomes(c, false));
}

TEST_F(TrayAgent, LockUsesTheAgentPassphraseWithoutAsking) {
    AttachedWindow manager(pipe_);
    ASSERT_EQ(sendPassphrase(window_, manager.window, "", "agent pw"), 1);
    Client c(pipe_);
    command(IDM_TRAY_LOCK);
    EXPECT_TRUE(lockBecomes(c, true));
    command(IDM_TRAY_LOCK);
    HWND unlock = dialog();
    ASSERT_NE(unlock, nullptr);
    answer(unlock, "agent pw");
    EXPECT_TRUE(waitGone(unlock, scaled(5000)));
    EXPECT_TRUE(lockBecomes(c, false));
}

TEST_F(TrayAgent, AddKeyOpensTheFileAndAsksItsPassphraseUntilItFits) {
    const char* file = std::getenv("GAGENT_TEST_ENCRYPTED_KEY");
    ASSERT_NE(file, nullptr);
    command(IDM_TRAY_ADD_KEY);
    HWND open = dialog();
    ASSERT_NE(open, nullptr) << "the file dialog";
    SetDlgItemTextA(open, 0x47C, file);  // the file name box
    PostMessageA(open, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(waitGone(open, scaled(5000)));
    HWND ask = dialog();
    ASSERT_NE(ask, nullptr) << "the key file's passphrase";
    EXPECT_NE(controlText(ask, IDC_TRAY_PROMPT).find("openssh-ed25519-aes256-ctr"), std::string::npos);
    answer(ask, "not it");
    ASSERT_TRUE(waitGone(ask, scaled(5000)));
    ask = dialog();
    ASSERT_NE(ask, nullptr) << "asked again";
    EXPECT_NE(controlText(ask, IDC_TRAY_PROMPT).find("does not open"), std::string::npos);
    answer(ask, "fuzz");
    EXPECT_TRUE(waitGone(ask, scaled(10000)));
    EXPECT_TRUE(tipBecomes(tray_, tip("unlocked", 1)));
}

TEST_F(TrayAgent, AddKeyIsRefusedWhileLockedOrWhenThePolicyForbidsIt) {
    Client c(pipe_);
    ASSERT_EQ(c.call(lockRequest(22, "pw")), kSuccess);
    command(IDM_TRAY_ADD_KEY);
    EXPECT_NE(closeBox().find("The agent is locked"), std::string::npos);
    ASSERT_EQ(c.call(lockRequest(23, "pw")), kSuccess);

    CreateDirectoryA(keyFolder().c_str(), nullptr);
    std::ofstream(keyFolder() + "\\gAgent") << "policies\nConfirmKeyOp no\nAllowAdd no\nAllowDelete yes\n";
    restartWithTray();
    command(IDM_TRAY_ADD_KEY);
    EXPECT_NE(closeBox().find("does not allow adding keys"), std::string::npos);
}

TEST_F(TrayAgent, OpenKeyManagerBringsTheManagersWindowForward) {
    AttachedWindow manager(pipe_);
    SetWindowPos(manager.window, nullptr, 0, 0, 200, 100, SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    HWND other = makeWindow();
    SetWindowPos(other, nullptr, 300, 0, 200, 100, SWP_NOZORDER | SWP_SHOWWINDOW);
    SetForegroundWindow(other);
    ASSERT_EQ(GetForegroundWindow(), other);
    command(IDM_TRAY_OPEN_MANAGER);
    // Wine hands the foreground over through the window's own thread.
    for (DWORD end = GetTickCount() + scaled(5000); GetForegroundWindow() != manager.window && GetTickCount() < end;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        Sleep(20);
    }
    EXPECT_EQ(GetForegroundWindow(), manager.window) << readFile(log_);
    DestroyWindow(other);
}

// A running process of that image, by its full path; null when none is.
HANDLE processOf(const std::string& image) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    HANDLE found = nullptr;
    for (BOOL more = Process32First(snapshot, &entry); more && !found; more = Process32Next(snapshot, &entry)) {
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                     entry.th32ProcessID);
        char path[MAX_PATH] = "";
        DWORD size = sizeof path;
        if (process && QueryFullProcessImageNameA(process, 0, path, &size) && lstrcmpiA(path, image.c_str()) == 0)
            found = process;
        else if (process)
            CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

// No key manager attached: the one beside the agent is started (whatever
// it then shows is its own affair, and ended here).
TEST_F(TrayAgent, OpenKeyManagerStartsTheManagerBesideTheAgent) {
    std::string image = stageDir() + "\\gagent.exe";
    char full[MAX_PATH];
    GetFullPathNameA(image.c_str(), sizeof full, full, nullptr);
    command(IDM_TRAY_OPEN_MANAGER);
    HANDLE manager = nullptr;
    for (DWORD end = GetTickCount() + scaled(10000); !manager && GetTickCount() < end; Sleep(50)) manager = processOf(full);
    ASSERT_NE(manager, nullptr) << full << " runs\n" << readFile(log_);
    TerminateProcess(manager, 9);
    WaitForSingleObject(manager, scaled(10000));
    CloseHandle(manager);
}

TEST_F(TrayAgent, StopAgentEndsItTheWayTheManagerDoes) {
    Client c(pipe_);
    ASSERT_EQ(c.call(addEdRequest()), kSuccess);
    command(IDM_TRAY_STOP_AGENT);
    EXPECT_EQ(agent_.waitExit(scaled(10000)), 0u);
    EXPECT_NE(readFile(log_).find("agent stopped"), std::string::npos);
}

// Wine shows the balloon as a tooltip of its tray window's process, whose
// text no other process can read, and keeps it for seconds: the agent's
// log says which notices it asked to show, the tray that one appeared.
TEST_F(TrayAgent, TheNoticeOnEachUnaskedKeyUseIsOffByDefaultAndSurvivesARestart) {
    const std::string notice = "key use notice for \"rfc8032 test 1\" shown";
    Client first(pipe_);
    ASSERT_EQ(first.call(addEdRequest()), kSuccess);
    EXPECT_TRUE(signs(first));
    command(IDM_TRAY_NOTIFY_KEY_USE);
    EXPECT_TRUE(logShows("notice on each key use on", 1));
    EXPECT_TRUE(signs(first));
    EXPECT_TRUE(logShows(notice, 1));
    EXPECT_NE(waitForShown("tooltips_class32", shellProcess()), nullptr) << "the balloon in Wine's tray";
    // The manager's policies and the agent's setting live in one file:
    // neither may lose the other.
    AttachedWindow manager(pipe_);
    ASSERT_EQ(SendMessageA(window_, WM_AGENT_SET_ALLOW_DELETE, 0, 0), 1);
    std::string settings = settingsFile();
    EXPECT_NE(settings.find("AllowDelete no"), std::string::npos) << settings;
    EXPECT_NE(settings.find("NotifyKeyUse yes"), std::string::npos) << settings;

    restartWithTray();
    Client second(pipe_);
    ASSERT_EQ(second.call(constrainedAdd(Bytes{2})), kSuccess);
    std::thread confirming([] {
        HWND confirm = waitForConfirmDialog(scaled(10000));
        if (confirm) PostMessageA(confirm, WM_COMMAND, IDYES, 0);
    });
    EXPECT_TRUE(signs(second)) << "confirmed";
    confirming.join();
    ASSERT_EQ(second.call(addEdRequest()), kSuccess);
    EXPECT_TRUE(signs(second));
    EXPECT_TRUE(logShows(notice, 2)) << "one notice after the restart, none for the confirmed use";
    command(IDM_TRAY_NOTIFY_KEY_USE);
    EXPECT_TRUE(logShows("notice on each key use off", 1));
    EXPECT_TRUE(signs(second));
    Sleep(scaled(300));
    EXPECT_EQ(occurrences(readFile(log_), notice), 2u);
    EXPECT_NE(settingsFile().find("NotifyKeyUse no"), std::string::npos);
}

// Any program of the user can post to the notice's window: what it posts
// carries nothing the agent takes, and the agent goes on serving.
TEST_F(TrayAgent, ANoticeMessageFromAnotherProgramCarriesNothingTheAgentTakes) {
    Client c(pipe_);
    ASSERT_EQ(c.call(addEdRequest()), kSuccess);
    command(IDM_TRAY_NOTIFY_KEY_USE);
    ASSERT_TRUE(logShows("notice on each key use on", 1));
    for (LPARAM bogus : {LPARAM(0x1234), LPARAM(-1), reinterpret_cast<LPARAM>(&c)})
        PostMessageA(tray_, WM_APP + 3, 0, bogus);
    EXPECT_TRUE(signs(c)) << "the agent still serves";
    EXPECT_TRUE(logShows("key use notice for \"rfc8032 test 1\" shown", 1)) << "its own notice, once";
    EXPECT_EQ(WaitForSingleObject(agent_.pi.hProcess, 0), DWORD(WAIT_TIMEOUT));
}

// The confirm dialog takes its question from the dialog manager's own first
// WM_INITDIALOG only: one sent later by another program is ignored.
TEST_F(TrayAgent, AConfirmDialogIgnoresAnInitMessageFromAnotherProgram) {
    Client c(pipe_);
    ASSERT_EQ(c.call(constrainedAdd(Bytes{2})), kSuccess);
    std::thread attacking([] {
        HWND confirm = waitForConfirmDialog(scaled(10000));
        if (!confirm) return;
        DWORD_PTR unused = 0;
        SendMessageTimeoutA(confirm, WM_INITDIALOG, 0, LPARAM(0x1234), SMTO_NORMAL, 5000, &unused);
        PostMessageA(confirm, WM_COMMAND, IDYES, 0);
    });
    EXPECT_TRUE(signs(c)) << "answered Yes after the stray message";
    attacking.join();
    EXPECT_EQ(WaitForSingleObject(agent_.pi.hProcess, 0), DWORD(WAIT_TIMEOUT));
}

}  // namespace

namespace {

// For make gallery, in the language of GAGENT_TEST_UI_FOLDER: the icon in
// Wine's tray window, its menu opened for real, the lock's question and
// the notice. Wine shows the tooltip only under a real pointer; its text
// is the one TheIconShowsInWinesTray... reads.
class GalleryTray : public TrayAgent {
protected:
    GalleryTray() : language_("Language", galleryLanguage(), REG_SZ) {}
    ProductValue language_;
};

TEST_F(GalleryTray, DISABLED_IconsAndMenu) {
    ASSERT_TRUE(wineTrayShows(true));
    HWND wineTray = FindWindowA(nullptr, kWineTray);
    saveForGallery(wineTray, "keyagent-tray-unlocked.bmp");
    PostMessageA(tray_, WM_AGENT_TRAY_ICON, 0, WM_RBUTTONUP);
    HWND menu = waitForShown("#32768", agent_.pi.dwProcessId);
    ASSERT_NE(menu, nullptr) << "the icon's menu";
    saveForGallery(menu, "keyagent-tray-menu.bmp");
    PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_TRUE(waitGone(menu, scaled(5000)) || !IsWindowVisible(menu));
    Client c(pipe_);
    ASSERT_EQ(c.call(lockRequest(22, "pw")), kSuccess);
    for (DWORD end = GetTickCount() + scaled(5000); iconShown(tray_) != IDI_AGENT_LOCKED && GetTickCount() < end;)
        Sleep(20);
    saveForGallery(wineTray, "keyagent-tray-locked.bmp");
}

TEST_F(GalleryTray, DISABLED_LockQuestion) {
    command(IDM_TRAY_LOCK);
    HWND lock = dialog();
    ASSERT_NE(lock, nullptr);
    saveForGallery(lock, "keyagent-tray-lock.bmp");
    PostMessageA(lock, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(waitGone(lock, scaled(5000)));
}

// Wine shows the balloon as a tooltip of its tray window's process.
TEST_F(GalleryTray, DISABLED_KeyUseNotice) {
    ASSERT_TRUE(wineTrayShows(true));
    DWORD shell = shellProcess();
    command(IDM_TRAY_NOTIFY_KEY_USE);
    ASSERT_TRUE(logShows("notice on each key use on", 1));
    Client c(pipe_);
    ASSERT_EQ(c.call(addEdRequest()), kSuccess);
    ASSERT_TRUE(signs(c));
    HWND balloon = waitForShown("tooltips_class32", shell);
    ASSERT_NE(balloon, nullptr) << "the balloon";
    saveForGallery(balloon, "keyagent-tray-notice.bmp");
}

}  // namespace
