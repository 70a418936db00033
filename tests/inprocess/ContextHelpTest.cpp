// Context help: the help file's path, the requests that reach the help
// engine, What's This mode on real dialogs of the English resource module,
// and the generated help file in Wine's viewer. Wine shows no popup and
// refuses HELP_WM_HELP and HELP_CONTEXTMENU, so the calls themselves are
// what most tests look at, through a recording stand-in for WinHelpA in
// this program's import table.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ContextHelp.h"
#include "ImportPatch.h"
#include "InProcessSupport.h"
#include "UiLanguage.h"
#include "WineHelpViewer.h"
#include "resource.h"

using namespace inprocess;

namespace {

struct HelpCall {
    HWND window;
    std::string path;
    UINT command;
    ULONG_PTR data;
    HWND capture;   // as the call is made
    HCURSOR cursor; // likewise
};

std::vector<HelpCall> helpCalls;

BOOL WINAPI recordWinHelp(HWND window, LPCSTR path, UINT command, ULONG_PTR data)
{
    helpCalls.push_back(HelpCall{window, path != NULL ? path : "", command, data, GetCapture(), GetCursor()});
    return TRUE;
}

std::string programFolder()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    std::string folder(path, length);
    return folder.substr(0, folder.rfind('\\') + 1);
}

HMODULE englishModule()
{
    static HMODULE module =
        LoadLibraryA((folderFromEnvironment("GAGENT_TEST_STAGE") + "\\1033\\gagent.dll").c_str());
    return module;
}

HCURSOR helpCursor()
{
    return LoadCursorA(NULL, MAKEINTRESOURCEA(32651)); // IDC_HELP
}

class RecordedHelp : public ::testing::Test {
protected:
    void SetUp() override
    {
        helpCalls.clear();
        realWinHelp = replaceImport(GetModuleHandleA(NULL), "user32.dll", "WinHelpA",
                                    reinterpret_cast<void *>(recordWinHelp));
        ASSERT_NE(realWinHelp, nullptr) << "WinHelpA is not imported by name";
        // An English answer that is kept: no language library is needed.
        cachedUiLanguage = 16;
        appInstance = NULL;
    }

    void TearDown() override
    {
        if (realWinHelp != nullptr)
            replaceImport(GetModuleHandleA(NULL), "user32.dll", "WinHelpA", realWinHelp);
        cachedUiLanguage = 0;
        appInstance = NULL;
    }

    void *realWinHelp = nullptr;
};

// ------------------------------------------------------------ the path

class HelpPath : public RecordedHelp {
protected:
    void SetUp() override
    {
        RecordedHelp::SetUp();
        scratch = folderFromEnvironment("GAGENT_TEST_SCRATCH");
        ASSERT_FALSE(scratch.empty()) << "GAGENT_TEST_SCRATCH";
        CreateDirectoryA(scratch.c_str(), NULL);
    }

    void TearDown() override
    {
        SetDllDirectoryA(NULL);
        SetEnvironmentVariableA("GAGENT_TEST_LOG", NULL);
        SetEnvironmentVariableA("GAGENT_TEST_LANGUAGE", NULL);
        RecordedHelp::TearDown();
    }

    std::string scratch;
};

TEST_F(HelpPath, FollowsEachLanguageAnswerAndAsksAgainWhileTheAnswerIsZero)
{
    SetDllDirectoryA((folderFromEnvironment("GAGENT_TEST_DOUBLES") + "\\zelmsi13").c_str());
    std::string log = scratch + "\\help-language.log";
    DeleteFileA(log.c_str());
    SetEnvironmentVariableA("GAGENT_TEST_LOG", log.c_str());
    const struct {
        const char *answer;
        const char *folder;
    } answers[] = {{"2", "1036"}, {"4", "1031"}, {"8", "1041"}, {"16", "1033"}, {"0", "1033"}};
    for (const auto &answer : answers) {
        cachedUiLanguage = 0;
        SetEnvironmentVariableA("GAGENT_TEST_LANGUAGE", answer.answer);
        helpCalls.clear();
        EXPECT_TRUE(showHelp(NULL, HELP_CONTEXT, 1000));
        ASSERT_EQ(helpCalls.size(), 1u);
        EXPECT_EQ(helpCalls[0].path, programFolder() + "Help\\" + answer.folder + "\\gagent.hlp")
            << "answer " << answer.answer;
    }
    // Still 0: the next request asks the library again.
    showHelp(NULL, HELP_CONTEXT, 1000);
    std::ifstream queries(log);
    int asked = 0;
    for (std::string line; std::getline(queries, line);)
        asked += line.compare(0, 13, "getFileLocale") == 0;
    EXPECT_EQ(asked, 6);
}

TEST_F(HelpPath, ThatWouldNotFitInMaxPathCallsNoHelpAtAll)
{
    const std::string tail = "Help\\1033\\gagent.hlp";
    // Folders whose help path is 259 characters (it fits, with the NUL) and 260.
    for (size_t length : {MAX_PATH - 1, MAX_PATH}) {
        std::string folder = scratch + "\\";
        folder += std::string(length - tail.size() - folder.size() - 1, 'd') + "\\";
        CreateDirectoryA(folder.c_str(), NULL);
        std::string library = folder + (length < MAX_PATH ? "fits.dll" : "long.dll");
        ASSERT_TRUE(CopyFileA((folderFromEnvironment("GAGENT_TEST_FIXTURES") + "\\inprocess_fixture.dll").c_str(),
                              library.c_str(), FALSE));
        HMODULE module = LoadLibraryA(library.c_str());
        ASSERT_NE(module, (HMODULE)NULL) << library;
        appInstance = module;
        helpCalls.clear();

        BOOL shown = showHelp(NULL, HELP_CONTEXT, 1000);

        if (length < MAX_PATH) {
            ASSERT_EQ(helpCalls.size(), 1u);
            EXPECT_EQ(helpCalls[0].path, folder + tail);
            EXPECT_EQ(helpCalls[0].path.size(), length);
        } else {
            EXPECT_FALSE(shown);
            EXPECT_TRUE(helpCalls.empty()) << "called with " << helpCalls[0].path;
        }
        appInstance = NULL;
        FreeLibrary(module);
    }
}

// ------------------------------------------------------------ requests

// A dialog of the English module, shown modeless over nothing.
class OpenDialog {
public:
    explicit OpenDialog(int templateId, int x = 40, int y = 40) : object(englishModule(), NULL)
    {
        guard.handle = CreateDialogParamA(englishModule(), MAKEINTRESOURCEA(templateId), NULL, sharedDialogProc,
                                          reinterpret_cast<LPARAM>(&object));
        SetWindowPos(guard.handle, HWND_TOP, x, y, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
        SetForegroundWindow(guard.handle);
        UpdateWindow(guard.handle);
    }

    HWND window() const { return guard.handle; }
    HWND item(int id) const { return GetDlgItem(guard.handle, id); }

    // The child of id -1 whose text begins with `text`.
    HWND unnumbered(const std::string &text) const
    {
        for (HWND child = GetWindow(guard.handle, GW_CHILD); child != NULL; child = GetWindow(child, GW_HWNDNEXT)) {
            char shown[256] = "";
            GetWindowTextA(child, shown, sizeof shown);
            if (GetDlgCtrlID(child) == -1 && std::string(shown).compare(0, text.size(), text) == 0)
                return child;
        }
        return NULL;
    }

    PlainDialog object;

private:
    WindowGuard guard;
};

// F1 and the right click are followed end to end (tests/e2e), with the
// table as the engine receives it.
TEST_F(RecordedHelp, HelpButtonOpensTheDialogsTopicAndWithoutOneShowsNothingButIsHandled)
{
    OpenDialog dialog(IDD_AGENT_PASSPHRASE);
    ASSERT_NE(dialog.window(), (HWND)NULL);
    dialog.object.helpContextId = 0;
    EXPECT_EQ(dialog.object.onHelpButton(), 1);
    EXPECT_TRUE(helpCalls.empty());

    dialog.object.helpContextId = 1002;
    EXPECT_EQ(dialog.object.onHelpButton(), 1);
    ASSERT_EQ(helpCalls.size(), 1u);
    EXPECT_EQ(helpCalls[0].window, dialog.window());
    EXPECT_EQ(helpCalls[0].command, static_cast<UINT>(HELP_CONTEXT));
    EXPECT_EQ(helpCalls[0].data, 1002u);
    EXPECT_EQ(helpCalls[0].path, programFolder() + "Help\\1033\\gagent.hlp");
}

// ------------------------------------------------------------ What's This

// Ends a mode that a wrong test would leave waiting for input.
class EscapeLater {
public:
    EscapeLater() : timer(SetTimer(NULL, 0, 8000, escape)) {}
    ~EscapeLater() { KillTimer(NULL, timer); }

private:
    static VOID CALLBACK escape(HWND, UINT, UINT_PTR, DWORD)
    {
        PostThreadMessageA(GetCurrentThreadId(), WM_KEYDOWN, VK_ESCAPE, 0);
    }
    UINT_PTR timer;
};

void pointAt(HWND window)
{
    RECT rect;
    GetWindowRect(window, &rect);
    SetCursorPos((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
}

// Runs What's This mode with the input that `queue` posts waiting for it.
int whatsThis(OpenDialog &dialog, const std::function<void()> &queue)
{
    EscapeLater safety;
    queue();
    return dialog.object.onWhatsThis();
}

int clickInWhatsThis(OpenDialog &dialog, HWND target, UINT button = WM_LBUTTONDOWN)
{
    return whatsThis(dialog, [&] {
        pointAt(target);
        PostMessageA(dialog.window(), button, 0, 0);
    });
}

class WhatsThis : public RecordedHelp {};

class WhatsThisButtons : public WhatsThis, public ::testing::WithParamInterface<UINT> {};

TEST_P(WhatsThisButtons, PickTheControlUnderThePointerDisabledOrNotAndShowHelpOnlyOnceCursorAndCaptureAreBack)
{
    OpenDialog dialog(IDD_KEY_MANAGER);
    HWND removeButton = dialog.item(IDC_REMOVE_KEY);
    ASSERT_FALSE(IsWindowEnabled(removeButton)) << "the template's buttons start disabled";
    HCURSOR before = LoadCursorA(NULL, MAKEINTRESOURCEA(32512)); // IDC_ARROW
    SetCursor(before);

    EXPECT_EQ(clickInWhatsThis(dialog, removeButton, GetParam()), 1);

    ASSERT_EQ(helpCalls.size(), 1u);
    EXPECT_EQ(helpCalls[0].window, dialog.window());
    EXPECT_EQ(helpCalls[0].command, static_cast<UINT>(HELP_CONTEXTPOPUP));
    EXPECT_EQ(helpCalls[0].data, 2002u);
    EXPECT_EQ(helpCalls[0].path, programFolder() + "Help\\1033\\gagent.hlp");
    EXPECT_EQ(helpCalls[0].capture, (HWND)NULL) << "capture still held when help was shown";
    EXPECT_EQ(helpCalls[0].cursor, before) << "help cursor still shown when help was shown";
}

std::string buttonName(const ::testing::TestParamInfo<UINT> &button)
{
    return button.param == WM_LBUTTONDOWN ? "Left" : button.param == WM_RBUTTONDOWN ? "Right" : "Middle";
}

INSTANTIATE_TEST_SUITE_P(AnyMouseButton, WhatsThisButtons,
                         ::testing::Values(WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_MBUTTONDOWN), buttonName);

TEST_F(WhatsThis, ControlsShowTheirOwnTopicAndControlsThatShareOneShowTheSame)
{
    const struct {
        int templateId;
        int controlId; // -1: the static text that begins with `text`
        const char *text;
        ULONG_PTR topic;
    } cases[] = {
        {IDD_KEY_MANAGER, IDC_KEY_LIST, "", 2000},
        {IDD_KEY_MANAGER, IDC_GENERATE_KEY, "", 2001},
        {IDD_KEY_MANAGER, IDC_UNLOCK_AGENT, "", 2015},
        {IDD_KEY_MANAGER, -1, "&Keys held by the agent", 2016},
        {IDD_AGENT_PASSPHRASE, IDC_CURRENT_LABEL, "", 2011},
        {IDD_AGENT_PASSPHRASE, IDC_CURRENT_PASSPHRASE, "", 2011},
        {IDD_AGENT_PASSPHRASE, IDC_NEW_LABEL, "", 2012},
        {IDD_AGENT_PASSPHRASE, IDC_NEW_PASSPHRASE, "", 2012},
        {IDD_AGENT_PASSPHRASE, IDC_REPEAT_LABEL, "", 2013},
        {IDD_AGENT_PASSPHRASE, IDC_REPEAT_PASSPHRASE, "", 2013},
        {IDD_AGENT_PASSPHRASE, IDC_RESET_AGENT, "", 2014},
        {IDD_AGENT_PASSPHRASE, -1, "The agent passphrase", 2016},
        {IDD_KEY_TEXT, -1, "Key &name", 2016},
        {IDD_KEY_TEXT, IDC_KEY_NAME, "", 2016},
        {IDD_KEY_TEXT, IDC_KEY_LIFETIME_LABEL, "", 2017},
        {IDD_KEY_TEXT, IDC_KEY_LIFETIME, "", 2017},
        {IDD_EXPORT_KEY, IDC_EXPORT_OPENSSH, "", 2006},
        {IDD_EXPORT_KEY, IDC_EXPORT_RFC4716, "", 2007},
    };
    for (const auto &c : cases) {
        OpenDialog dialog(c.templateId);
        HWND control = c.controlId == -1 ? dialog.unnumbered(c.text) : dialog.item(c.controlId);
        ASSERT_NE(control, (HWND)NULL) << "template " << c.templateId << " control " << c.controlId << c.text;
        helpCalls.clear();

        EXPECT_EQ(clickInWhatsThis(dialog, control), 1) << c.controlId << c.text;

        ASSERT_EQ(helpCalls.size(), 1u) << c.controlId << c.text;
        EXPECT_EQ(helpCalls[0].data, c.topic) << "template " << c.templateId << " control " << c.controlId << c.text;
    }
}

TEST_F(WhatsThis, AClickOnNoListedControlOrOutsideTheWindowShowsNothingAndGivesZero)
{
    OpenDialog dialog(IDD_AGENT_PASSPHRASE);
    RECT frame, client, other;
    GetWindowRect(dialog.window(), &frame);
    GetClientRect(dialog.window(), &client);
    MapWindowPoints(dialog.window(), NULL, reinterpret_cast<POINT *>(&client), 2);
    // Beside it, a window with a control that has a topic.
    OpenDialog beside(IDD_EXPORT_KEY, frame.right + 20, frame.top);
    GetWindowRect(beside.item(IDC_EXPORT_OPENSSH), &other);
    const POINT places[] = {
        {client.left + 2, client.bottom - 2},            // the dialog itself, between controls
        {(frame.left + frame.right) / 2, frame.top + 4}, // its caption
        {(other.left + other.right) / 2, (other.top + other.bottom) / 2}, // outside it
    };
    HWND helpButton = dialog.item(IDC_PASSPHRASE_HELP); // a control the table does not list
    for (const POINT &place : places) {
        EXPECT_EQ(whatsThis(dialog, [&] {
                      SetCursorPos(place.x, place.y);
                      PostMessageA(dialog.window(), WM_LBUTTONDOWN, 0, 0);
                  }),
                  0)
            << place.x << "," << place.y;
        EXPECT_EQ(GetCapture(), (HWND)NULL);
    }
    EXPECT_EQ(clickInWhatsThis(dialog, helpButton), 0);
    EXPECT_TRUE(helpCalls.empty());
}

TEST_F(WhatsThis, QuitMessageEndsTheModeAndIsConsumed)
{
    OpenDialog dialog(IDD_KEY_MANAGER);

    EXPECT_EQ(whatsThis(dialog, [] { PostQuitMessage(3); }), 0);

    MSG quit;
    EXPECT_FALSE(PeekMessageA(&quit, NULL, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the quit message is still there";
    EXPECT_EQ(GetCapture(), (HWND)NULL);
    EXPECT_TRUE(helpCalls.empty());
}

// What another window of the thread sees while the mode runs.
struct Witness {
    std::vector<HWND> captures;
    std::vector<HCURSOR> cursors;
    std::vector<UINT> keys; // key and character messages that reached it
};
Witness *witness = nullptr;
const UINT LOOK = WM_APP + 20;
const UINT CHANGE_CURSOR = WM_APP + 21;

LRESULT CALLBACK witnessProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == LOOK && witness != nullptr) {
        witness->captures.push_back(GetCapture());
        witness->cursors.push_back(GetCursor());
        return 0;
    }
    if ((message == WM_KEYDOWN || message == WM_CHAR) && witness != nullptr) {
        witness->keys.push_back(message);
        return 0;
    }
    if (message == CHANGE_CURSOR) {
        SetCursor(LoadCursorA(NULL, MAKEINTRESOURCEA(32512)));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// A hidden window of this thread that notes what reaches it.
class WitnessWindow {
public:
    WitnessWindow() : guard(createPlainWindow(600, 600, 100, 100, WS_POPUP)), handle(guard.handle)
    {
        SetWindowLongPtrA(handle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(witnessProc));
        witness = &seen;
    }
    ~WitnessWindow() { witness = nullptr; }

    Witness seen;

private:
    WindowGuard guard;

public:
    HWND handle;
};

TEST_F(WhatsThis, OtherMessagesAreHandledMeanwhileUnderCaptureAndTheHelpCursor)
{
    OpenDialog dialog(IDD_KEY_MANAGER);
    WitnessWindow other;
    Witness &seen = other.seen;

    int result = whatsThis(dialog, [&] {
        PostMessageA(other.handle, LOOK, 0, 0);
        // Something sets another cursor; the next WM_SETCURSOR brings the help cursor back.
        PostMessageA(other.handle, CHANGE_CURSOR, 0, 0);
        PostMessageA(dialog.window(), WM_SETCURSOR, reinterpret_cast<WPARAM>(dialog.window()),
                     MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
        PostMessageA(other.handle, LOOK, 0, 0);
        PostMessageA(dialog.window(), WM_KEYDOWN, VK_ESCAPE, 0);
    });

    EXPECT_EQ(result, 0);
    ASSERT_EQ(seen.captures.size(), 2u) << "messages to other windows were not handled";
    EXPECT_EQ(seen.captures[0], dialog.window());
    EXPECT_EQ(seen.cursors[0], helpCursor());
    EXPECT_EQ(seen.captures[1], dialog.window());
    EXPECT_EQ(seen.cursors[1], helpCursor()) << "WM_SETCURSOR did not bring the help cursor back";
    EXPECT_EQ(GetCapture(), (HWND)NULL);
}

TEST_F(WhatsThis, KeysAreIgnoredUntilEscapeEndsTheModeThere)
{
    OpenDialog dialog(IDD_AGENT_PASSPHRASE);
    WitnessWindow other;
    Witness &seen = other.seen;
    const UINT_PTR AFTER_ESCAPE = 'Q';

    int result = whatsThis(dialog, [&] {
        PostMessageA(other.handle, WM_KEYDOWN, 'A', 0x001E0001);
        PostMessageA(other.handle, WM_KEYDOWN, VK_F1, 0x003B0001);
        PostMessageA(dialog.window(), WM_KEYDOWN, VK_RETURN, 0x001C0001);
        PostMessageA(dialog.window(), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageA(other.handle, WM_KEYDOWN, AFTER_ESCAPE, 0x00100001);
    });

    EXPECT_EQ(result, 0);
    EXPECT_TRUE(seen.keys.empty()) << "a key was handed on: " << seen.keys.front();
    EXPECT_TRUE(helpCalls.empty());
    EXPECT_TRUE(IsWindow(dialog.window())) << "Return ended the dialog";
    MSG left;
    ASSERT_TRUE(PeekMessageA(&left, other.handle, WM_KEYDOWN, WM_KEYDOWN, PM_REMOVE)) << "the mode read past Escape";
    EXPECT_EQ(left.wParam, AFTER_ESCAPE);
    EXPECT_EQ(GetCapture(), (HWND)NULL);
}

// ------------------------------------------------------------ the file

// HELP_CONTEXT is what Wine's viewer does show: every context the program
// can ask for must bring up a topic of its own.
TEST(HelpFileInWineViewer, ShowsATopicOfItsOwnForEveryContextOfTheProgram)
{
    // Wine's viewer cannot read a file whose path has 128 characters or
    // more, so the staged file is read from a short folder.
    std::string staged = folderFromEnvironment("GAGENT_TEST_STAGE") + "\\Help\\1033\\gagent.hlp";
    std::string path = "C:\\gagent-help-test.hlp";
    ASSERT_TRUE(CopyFileA(staged.c_str(), path.c_str(), FALSE)) << staged;
    ASSERT_TRUE(helpviewer::start());
    std::set<INT32> contexts = {1000, 1001, 1002, 1003};
    for (int row = 0; HelpIdTable[row][0] != 0; ++row)
        contexts.insert(HelpIdTable[row][1]);

    std::map<std::string, INT32> texts;
    std::string shown;
    for (INT32 context : contexts) {
        EXPECT_TRUE(WinHelpA(NULL, path.c_str(), HELP_CONTEXT, static_cast<ULONG_PTR>(context))) << context;
        std::string previous = shown;
        for (int wait = 0; wait < 100 && (shown = helpviewer::shownText()) == previous; ++wait)
            Sleep(20);
        EXPECT_FALSE(shown.empty()) << "context " << context << " shows nothing";
        auto added = texts.insert(std::make_pair(shown, context));
        EXPECT_TRUE(added.second) << "context " << context << " shows the topic of " << added.first->second;
        if (context == 1000) {
            EXPECT_EQ(shown.compare(0, 22, "Glimmerpad Key Manager"), 0) << shown;
        }
    }
    helpviewer::quit();
    DeleteFileA(path.c_str());
}

} // namespace
