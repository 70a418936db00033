// How the dialog framework hands a real dialog's messages to its object:
// which operation each message reaches, with what arguments, and when the
// object first hears of its window.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "DialogBase.h"
#include "FixtureResources.h"
#include "InProcessSupport.h"

using namespace inprocess;

namespace {

const UINT RUN_SCRIPT = WM_APP + 1;
// What a modal run answers when nothing else ended the dialog in time.
const INT_PTR ENDED_BY_SAFETY_TIMER = 77;

BOOL CALLBACK endIfDialog(HWND window, LPARAM)
{
    char name[16];
    if (GetClassNameA(window, name, sizeof name) > 0 && lstrcmpA(name, "#32770") == 0 && IsWindowVisible(window))
        EndDialog(window, ENDED_BY_SAFETY_TIMER);
    return TRUE;
}

// A broken close (or a dialog whose object never learnt its window) must
// fail the test, not hang the run. Found without the object's help.
VOID CALLBACK endStuckDialogs(HWND, UINT, UINT_PTR, DWORD)
{
    EnumThreadWindows(GetCurrentThreadId(), endIfDialog, 0);
}

struct Command {
    unsigned id;
    HWND control;
    unsigned notification;
};

class RecordingDialog : public DialogBase {
public:
    RecordingDialog(HMODULE module, HWND owner) : DialogBase(module, owner) {}

    INT_PTR run(int templateId)
    {
        modal = true;
        UINT_PTR timer = SetTimer(NULL, 0, 3000, endStuckDialogs);
        INT_PTR result = runModalTemplate(templateId);
        KillTimer(NULL, timer);
        return result;
    }

    // Runs from the modal loop once the dialog is up; it must end the dialog.
    std::function<void(RecordingDialog &)> script;

    std::vector<UINT> messages; // every message handed to the object
    HWND windowAtInit = NULL;
    HWND focusAtInit = NULL;
    HWND editAtInit = NULL;
    std::vector<Command> commands;
    std::vector<NMHDR *> clicks;
    std::vector<NMHDR *> notifications;
    int commandAnswer = 0;
    int clickAnswer = 0;
    int notifyAnswer = 0;

    INT_PTR dialogProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        messages.push_back(message);
        if (message == RUN_SCRIPT) {
            if (script)
                script(*this);
            return 1;
        }
        return DialogBase::dialogProc(message, wParam, lParam);
    }

    int onInitDialog(HWND focus) override
    {
        windowAtInit = window;
        focusAtInit = focus;
        editAtInit = GetDlgItem(window, IDC_FIXTURE_EDIT);
        if (modal)
            PostMessageA(window, RUN_SCRIPT, 0, 0);
        return DialogBase::onInitDialog(focus);
    }

    int onCommand(unsigned id, HWND control, unsigned notification) override
    {
        commands.push_back(Command{id, control, notification});
        return commandAnswer;
    }

    int onNotify(NMHDR *header) override
    {
        notifications.push_back(header);
        return notifyAnswer;
    }

    int onNotifyClick(NMHDR *header) override
    {
        clicks.push_back(header);
        return clickAnswer;
    }

    size_t count(UINT message) const { return std::count(messages.begin(), messages.end(), message); }

    bool sawCommand(unsigned id, HWND control, unsigned notification) const
    {
        return std::any_of(commands.begin(), commands.end(), [&](const Command &c) {
            return c.id == id && c.control == control && c.notification == notification;
        });
    }

private:
    bool modal = false;
};

HWND createModeless(RecordingDialog &dialog)
{
    return CreateDialogParamA(fixtureModule(), MAKEINTRESOURCEA(IDD_FIXTURE_DIALOG), NULL,
                              sharedDialogProc, reinterpret_cast<LPARAM>(&dialog));
}

class DialogDispatch : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(fixtureModule(), (HMODULE)NULL) << "GAGENT_TEST_FIXTURES"; }
};

TEST_F(DialogDispatch, ObjectFirstHearsOfItsWindowAtInitDialogAndKeepsItAfterwards)
{
    WindowGuard owner(createPlainWindow(100, 100, 400, 300));
    RecordingDialog dialog(fixtureModule(), owner.handle);
    HWND ownerSeen = NULL;
    dialog.script = [&](RecordingDialog &d) {
        ownerSeen = GetWindow(d.window, GW_OWNER);
        EndDialog(d.window, 42);
    };
    ASSERT_EQ(dialog.window, (HWND)NULL);

    EXPECT_EQ(dialog.run(IDD_FIXTURE_DIALOG), 42);

    // Everything the dialog manager sends before WM_INITDIALOG (WM_SETFONT
    // among them) is answered without the object.
    ASSERT_FALSE(dialog.messages.empty());
    EXPECT_EQ(dialog.messages.front(), static_cast<UINT>(WM_INITDIALOG));
    EXPECT_EQ(dialog.count(WM_INITDIALOG), 1u);
    ASSERT_NE(dialog.windowAtInit, (HWND)NULL);
    ASSERT_NE(dialog.editAtInit, (HWND)NULL) << "window at WM_INITDIALOG is not the dialog";
    EXPECT_EQ(dialog.focusAtInit, dialog.editAtInit) << "onInitDialog not given the first tab stop";
    EXPECT_EQ(ownerSeen, owner.handle);
    EXPECT_EQ(dialog.window, dialog.windowAtInit);
    EXPECT_FALSE(IsWindow(dialog.window));
}

TEST_F(DialogDispatch, CloseEndsTheDialogWithResultZero)
{
    RecordingDialog dialog(fixtureModule(), NULL);
    dialog.script = [](RecordingDialog &d) { PostMessageA(d.window, WM_CLOSE, 0, 0); };

    EXPECT_EQ(dialog.run(IDD_FIXTURE_DIALOG), 0);
    EXPECT_EQ(dialog.count(WM_CLOSE), 1u);
    EXPECT_FALSE(dialog.sawCommand(IDCANCEL, NULL, BN_CLICKED)) << "WM_CLOSE left to the dialog manager";
}

TEST_F(DialogDispatch, ClickNotificationsReachOnNotifyClickAndAllOthersOnNotify)
{
    RecordingDialog dialog(fixtureModule(), NULL);
    NMHDR headers[] = {
        {NULL, IDC_FIXTURE_BUTTON, static_cast<UINT>(NM_CLICK)},       // -2
        {NULL, IDC_FIXTURE_BUTTON, static_cast<UINT>(NM_OUTOFMEMORY)}, // -1
        {NULL, IDC_FIXTURE_BUTTON, static_cast<UINT>(NM_DBLCLK)},      // -3
        {NULL, IDC_FIXTURE_BUTTON, static_cast<UINT>(NM_RETURN)},      // -4
        {NULL, IDC_FIXTURE_BUTTON, static_cast<UINT>(NM_RCLICK)},      // -5
        {NULL, IDC_FIXTURE_BUTTON, static_cast<UINT>(LVN_ITEMCHANGED)},
    };
    dialog.script = [&](RecordingDialog &d) {
        for (NMHDR &header : headers) {
            header.hwndFrom = GetDlgItem(d.window, IDC_FIXTURE_BUTTON);
            SendMessageA(d.window, WM_NOTIFY, header.idFrom, reinterpret_cast<LPARAM>(&header));
        }
        PostMessageA(d.window, WM_CLOSE, 0, 0);
    };

    ASSERT_EQ(dialog.run(IDD_FIXTURE_DIALOG), 0);

    // The very headers sent: handlers cast them to the larger structures
    // that particular notifications carry.
    EXPECT_EQ(dialog.clicks, (std::vector<NMHDR *>{&headers[0], &headers[2]}));
    EXPECT_EQ(dialog.notifications, (std::vector<NMHDR *>{&headers[1], &headers[3], &headers[4], &headers[5]}));
}

TEST_F(DialogDispatch, CommandsSplitIntoUnsignedIdAndNotificationHalves)
{
    RecordingDialog dialog(fixtureModule(), NULL);
    HWND button = NULL;
    HWND edit = NULL;
    dialog.script = [&](RecordingDialog &d) {
        button = GetDlgItem(d.window, IDC_FIXTURE_BUTTON);
        edit = GetDlgItem(d.window, IDC_FIXTURE_EDIT);
        WPARAM highHalves = MAKEWPARAM(0xFFFE, 0x8001);
#ifdef _WIN64
        // Bits above the low 32 are no part of a command.
        highHalves |= static_cast<WPARAM>(0x5A5A5A5A) << 32;
#endif
        SendMessageA(d.window, WM_COMMAND, highHalves, reinterpret_cast<LPARAM>(button));
        SendMessageA(button, BM_CLICK, 0, 0);
        SetWindowTextA(edit, "changed");
        PostMessageA(d.window, WM_CLOSE, 0, 0);
    };

    ASSERT_EQ(dialog.run(IDD_FIXTURE_DIALOG), 0);

    EXPECT_TRUE(dialog.sawCommand(0xFFFE, button, 0x8001)) << "halves of a made-up command";
    EXPECT_TRUE(dialog.sawCommand(IDC_FIXTURE_BUTTON, button, BN_CLICKED)) << "button click";
    EXPECT_TRUE(dialog.sawCommand(IDC_FIXTURE_EDIT, edit, EN_CHANGE)) << "edit change";
}

TEST_F(DialogDispatch, AnswersOfTheOperationsAreTheAnswersOfTheDialogProcedure)
{
    RecordingDialog dialog(fixtureModule(), NULL);
    dialog.commandAnswer = 7;
    dialog.clickAnswer = 5;
    dialog.notifyAnswer = 6;
    INT_PTR command = -1, click = -1, other = -1, unknown = -1, close = -1;
    dialog.script = [&](RecordingDialog &d) {
        NMHDR clickHeader = {NULL, 0, static_cast<UINT>(NM_DBLCLK)};
        NMHDR otherHeader = {NULL, 0, static_cast<UINT>(NM_RETURN)};
        command = sharedDialogProc(d.window, WM_COMMAND, MAKEWPARAM(IDC_FIXTURE_BUTTON, BN_CLICKED), 0);
        click = sharedDialogProc(d.window, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&clickHeader));
        other = sharedDialogProc(d.window, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&otherHeader));
        unknown = sharedDialogProc(d.window, WM_APP + 9, 1, 1);
        close = sharedDialogProc(d.window, WM_CLOSE, 0, 0);
    };

    EXPECT_EQ(dialog.run(IDD_FIXTURE_DIALOG), 0);
    EXPECT_EQ(command, 7);
    EXPECT_EQ(click, 5);
    EXPECT_EQ(other, 6);
    EXPECT_EQ(unknown, 0);
    EXPECT_EQ(close, 1);
}

TEST_F(DialogDispatch, MissingTemplateAnswersMinusOneWithoutReachingTheObject)
{
    RecordingDialog dialog(fixtureModule(), NULL);

    EXPECT_EQ(dialog.run(IDD_FIXTURE_ABSENT), -1);
    EXPECT_TRUE(dialog.messages.empty());
    EXPECT_EQ(dialog.window, (HWND)NULL);
}

TEST_F(DialogDispatch, WindowWithoutObjectIsAnsweredZeroThroughout)
{
    WindowGuard window(CreateDialogParamA(fixtureModule(), MAKEINTRESOURCEA(IDD_FIXTURE_DIALOG), NULL,
                                          sharedDialogProc, 0));
    ASSERT_NE(window.handle, (HWND)NULL) << "WM_INITDIALOG without an object broke the creation";

    EXPECT_EQ(GetWindowLongPtrA(window.handle, DWLP_USER), 0);
    EXPECT_EQ(sharedDialogProc(window.handle, WM_INITDIALOG, 0, 0), 0);
    EXPECT_EQ(sharedDialogProc(window.handle, WM_COMMAND, IDOK, 0), 0);
    EXPECT_EQ(sharedDialogProc(window.handle, WM_CLOSE, 0, 0), 0);
    EXPECT_TRUE(IsWindow(window.handle));
}

TEST_F(DialogDispatch, EachWindowReachesItsOwnObject)
{
    RecordingDialog first(fixtureModule(), NULL);
    RecordingDialog second(fixtureModule(), NULL);
    WindowGuard firstWindow(createModeless(first));
    WindowGuard secondWindow(createModeless(second));
    ASSERT_NE(firstWindow.handle, (HWND)NULL);
    ASSERT_NE(secondWindow.handle, (HWND)NULL);
    EXPECT_EQ(first.window, firstWindow.handle);
    EXPECT_EQ(second.window, secondWindow.handle);
    // Only what is sent from here on counts, not the focus news of creation.
    first.commands.clear();
    second.commands.clear();

    SendMessageA(firstWindow.handle, WM_COMMAND, MAKEWPARAM(1001, 0), 0);
    SendMessageA(secondWindow.handle, WM_COMMAND, MAKEWPARAM(1002, 0), 0);
    SendMessageA(firstWindow.handle, WM_COMMAND, MAKEWPARAM(1003, 0), 0);

    ASSERT_EQ(first.commands.size(), 2u);
    EXPECT_EQ(first.commands[0].id, 1001u);
    EXPECT_EQ(first.commands[1].id, 1003u);
    ASSERT_EQ(second.commands.size(), 1u);
    EXPECT_EQ(second.commands[0].id, 1002u);
}

} // namespace
