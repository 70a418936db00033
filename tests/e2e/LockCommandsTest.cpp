// Lock, unlock, the agent passphrase and the about box in the real program:
// what crosses to the agent library double and to the agent process, and
// what the user sees. The dialogs' details are covered in-process
// (tests/commands); here the processes and message numbers meet.
#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "AppFixture.h"
#include "resource.h"

using namespace e2e;

namespace {

const char *const LOCK_CHANGED = "received 1032 0 0";
const char *const RESET = "received 1026 0 0";

std::string hexOf(const std::string &bytes)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += DIGITS[c >> 4];
        hex += DIGITS[c & 15];
    }
    return hex;
}

// The passphrase message as the agent must receive it from `sender`.
std::string passphraseMessage(HWND sender, const std::string &current, const std::string &replacement)
{
    std::string payload(512, '\0');
    payload.replace(0, current.size(), current);
    payload.replace(256, replacement.size(), replacement);
    return "copydata " + std::to_string(reinterpret_cast<UINT_PTR>(sender)) + " 1027 512 " + hexOf(payload);
}

class LockCommands : public AgentApp {
protected:
    void TearDown() override
    {
        if (app)
            app->kill();
        agent.reset();
    }

    void startWithAgent(const std::string &lines, long copyDataAnswer = 1)
    {
        agent.reset(new AgentProcess(sandbox->file("agent.log"), copyDataAnswer));
        ASSERT_TRUE(agent->start());
        script(lines);
        start();
        ASSERT_NE(waitForWindow(), (HWND)NULL);
    }

    // Opens a dialog by command, fills fields and presses a button.
    void answerDialog(int commandId, const char *caption, std::vector<std::pair<int, std::string>> fields,
                      int button)
    {
        command(commandId);
        HWND dialog = app->waitForDialog(caption);
        ASSERT_NE(dialog, (HWND)NULL) << caption;
        for (const auto &field : fields)
            SendMessageA(GetDlgItem(dialog, field.first), WM_SETTEXT, 0,
                         reinterpret_cast<LPARAM>(field.second.c_str()));
        PostMessageA(dialog, WM_COMMAND, button, 0);
        ASSERT_TRUE(waitUntil(5000, [&] { return !IsWindow(dialog); })) << caption << " stayed open";
    }

    void expectMessageBox(const std::string &text)
    {
        MessageBoxSeen box;
        ASSERT_TRUE(app->waitForMessageBox(box));
        EXPECT_EQ(box.caption, ENGLISH_TITLE);
        EXPECT_EQ(box.text, text);
        PostMessageA(box.window, WM_COMMAND, IDOK, 0);
        waitUntil(5000, [&] { return !IsWindow(box.window); });
    }

    std::unique_ptr<AgentProcess> agent;
};

TEST_F(LockCommands, LockAndUnlockReachTheLibraryAndAreAnnouncedToTheAgent)
{
    startWithAgent("locked 0\n");
    command(IDC_LOCK_AGENT);
    ASSERT_TRUE(waitUntil(5000, [&] { return called("lock"); }));
    answerDialog(IDC_UNLOCK_AGENT, "Unlock Agent", {{IDC_UNLOCK_PASSPHRASE, "open sesame"}}, IDOK);
    ASSERT_TRUE(waitUntil(5000, [&] { return agent->received().size() >= 2; }));
    EXPECT_TRUE(called("unlock open sesame"));
    EXPECT_EQ(agent->received(), (std::vector<std::string>{LOCK_CHANGED, LOCK_CHANGED}));

    answerDialog(IDC_UNLOCK_AGENT, "Unlock Agent", {{IDC_UNLOCK_PASSPHRASE, "never sent"}}, IDCANCEL);
    settle();
    EXPECT_EQ(countCalls("unlock"), 1);
    EXPECT_FALSE(app->hasOtherTopLevelWindow());
}

TEST_F(LockCommands, RefusalsAreExplainedAndNotAnnounced)
{
    startWithAgent("lock 6\nunlock 5\n");
    command(IDC_LOCK_AGENT);
    expectMessageBox("The agent could not be locked.\n\nLocking needs an agent passphrase. Set one with the "
                     "Passphrase button, then lock the agent again.");
    answerDialog(IDC_UNLOCK_AGENT, "Unlock Agent", {{IDC_UNLOCK_PASSPHRASE, "wrong"}}, IDOK);
    MessageBoxSeen box;
    ASSERT_TRUE(app->waitForMessageBox(box));
    EXPECT_EQ(box.text.compare(0, 30, "The agent could not be unlocke"), 0) << box.text;
    PostMessageA(box.window, WM_COMMAND, IDOK, 0);
    settle();
    EXPECT_TRUE(agent->received().empty());
}

TEST_F(LockCommands, LockWithoutTheAgentProcessStillLocksSilently)
{
    script("");
    start();
    ASSERT_NE(waitForWindow(), (HWND)NULL);
    command(IDC_LOCK_AGENT);
    ASSERT_TRUE(waitUntil(5000, [&] { return called("lock"); }));
    settle();
    EXPECT_FALSE(app->hasOtherTopLevelWindow());
    // No agent window: the passphrase command shows nothing at all.
    command(IDC_AGENT_PASSPHRASE);
    settle(500);
    EXPECT_FALSE(app->hasOtherTopLevelWindow());
}

TEST_F(LockCommands, PassphrasesCrossToTheAgentProcessInOneMessage)
{
    startWithAgent("");
    answerDialog(IDC_AGENT_PASSPHRASE, "Agent Passphrase",
                 {{IDC_CURRENT_PASSPHRASE, "old pass"}, {IDC_NEW_PASSPHRASE, "New Pass"},
                  {IDC_REPEAT_PASSPHRASE, "New Pass"}},
                 IDOK);
    ASSERT_TRUE(waitUntil(5000, [&] { return !agent->received().empty(); }));
    EXPECT_EQ(agent->received(), std::vector<std::string>{passphraseMessage(window, "old pass", "New Pass")});
    EXPECT_FALSE(app->hasOtherTopLevelWindow()) << "an accepted change showed something";
}

TEST_F(LockCommands, ARefusedPassphraseIsExplained)
{
    startWithAgent("", 0);
    answerDialog(IDC_AGENT_PASSPHRASE, "Agent Passphrase", {}, IDOK);
    MessageBoxSeen box;
    ASSERT_TRUE(app->waitForMessageBox(box));
    EXPECT_EQ(box.text.compare(0, 47, "The agent did not accept the passphrase change."), 0) << box.text;
    EXPECT_EQ(agent->received(), std::vector<std::string>{passphraseMessage(window, "", "")});
}

TEST_F(LockCommands, AConfirmedResetTellsTheAgentAndEndsTheProgram)
{
    startWithAgent("");
    command(IDC_AGENT_PASSPHRASE);
    HWND dialog = app->waitForDialog("Agent Passphrase");
    ASSERT_NE(dialog, (HWND)NULL);
    PostMessageA(dialog, WM_COMMAND, IDC_RESET_AGENT, 0);
    MessageBoxSeen warning;
    ASSERT_TRUE(waitUntil(5000, [&] { return app->waitForMessageBox(warning, 200) && warning.window != dialog; }));
    EXPECT_EQ(warning.caption, ENGLISH_TITLE);
    PostMessageA(warning.window, WM_COMMAND, IDYES, 0);
    EXPECT_EQ(app->waitForExit(), 0u);
    EXPECT_EQ(agent->received(), std::vector<std::string>{RESET});
}

TEST_F(LockCommands, TheAboutBoxClosesWithOkAndHandsBackTheWindow)
{
    script("");
    start();
    ASSERT_NE(waitForWindow(), (HWND)NULL);
    command(IDM_ABOUT);
    HWND about = app->waitForDialog("About Glimmerpad Key Manager");
    ASSERT_NE(about, (HWND)NULL);
    EXPECT_EQ(windowText(GetDlgItem(about, IDC_PRODUCT_VERSION)), "Version 1.0.0.1");
    EXPECT_EQ(windowText(GetDlgItem(about, IDC_AGENT_VERSION)), "Agent library version 0.9.0.7-double");
    PostMessageA(about, WM_COMMAND, IDCANCEL, 0);
    settle();
    ASSERT_TRUE(IsWindow(about)) << "Cancel closed the about box";
    PostMessageA(about, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(waitUntil(5000, [&] { return !IsWindow(about); }));
    EXPECT_TRUE(waitUntil(2000, [&] { return GetForegroundWindow() == window; }));
}

TEST_F(LockCommands, TheAboutBoxWithoutAnAgentLibraryShowsNoLibraryLine)
{
    start("");
    ASSERT_NE(waitForWindow(), (HWND)NULL);
    command(IDM_ABOUT);
    HWND about = app->waitForDialog("About Glimmerpad Key Manager");
    ASSERT_NE(about, (HWND)NULL);
    EXPECT_EQ(windowText(GetDlgItem(about, IDC_AGENT_VERSION)), "");
    PostMessageA(about, WM_CLOSE, 0, 0);
    EXPECT_TRUE(waitUntil(5000, [&] { return !IsWindow(about); }));
}

} // namespace
