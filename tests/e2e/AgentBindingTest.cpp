// Binding the agent library at start and releasing it at the end, as seen
// from the window and from the library's side.
#include <gtest/gtest.h>

#include <algorithm>

#include "AgentWindow.h"
#include "AppFixture.h"
#include "resource.h"

using namespace e2e;

namespace {

const char *const INTERFACE_ID = "{FE7658B9-DEC7-4e42-A566-7804D2692B75}";
const int KEY_COMMAND_BUTTONS[] = {IDC_GENERATE_KEY, IDC_REMOVE_KEY, IDC_KEY_TEXT,
                                   IDC_AGENT_PASSPHRASE, IDC_LOCK_AGENT, IDC_UNLOCK_AGENT};

class Binding : public AgentApp {
protected:
    // The agent library's calls only, in order.
    std::vector<std::string> agentCalls() const
    {
        std::vector<std::string> lines = calls();
        lines.erase(std::remove_if(lines.begin(), lines.end(),
                                   [](const std::string &line) { return line.compare(0, 13, "getFileLocale") == 0; }),
                    lines.end());
        return lines;
    }

    // The window runs without an agent: no columns, every command unavailable,
    // and a click in the list changes nothing.
    void expectWindowWithoutAgent()
    {
        ASSERT_NE(waitForWindow(), (HWND)NULL);
        EXPECT_FALSE(app->hasOtherTopLevelWindow());
        EXPECT_EQ(app->probe("listcolumns", IDC_KEY_LIST), "0");
        clickBelowRows();
        for (int id : KEY_COMMAND_BUTTONS)
            EXPECT_FALSE(enabled(id)) << "button " << id;
        EXPECT_FALSE(menuEnabled(IDM_ADD_KEY));
        EXPECT_FALSE(menuEnabled(IDM_EXPORT_KEY));
        PostMessageA(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(app->waitForExit(), 0u);
    }
};

TEST_F(Binding, CompleteBindingAttachesTheWindowAndReleasesObjectBeforeLibrary)
{
    script("key alpha|1|SHA256:alpha\n");
    start();
    ASSERT_NE(waitForWindow(), (HWND)NULL);
    PostMessageA(window, WM_COMMAND, IDM_EXIT, 0);
    ASSERT_EQ(app->waitForExit(), 0u);

    std::vector<std::string> lines = agentCalls();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], std::string("newIAgent ") + INTERFACE_ID);
    EXPECT_EQ(lines[1], "initialize");
    char attach[64];
    snprintf(attach, sizeof attach, "attachWindow %p", reinterpret_cast<void *>(window));
    EXPECT_EQ(lines[2], attach);
    EXPECT_EQ(lines[3], "isRestrictedMode");
    EXPECT_EQ(lines[lines.size() - 2], "destroy 1");
    EXPECT_EQ(lines[lines.size() - 1], "unload");
    EXPECT_EQ(countCalls("destroy"), 1);
}

TEST_F(Binding, MissingLibraryLeavesTheWindowRunningWithoutAgent)
{
    start("");
    expectWindowWithoutAgent();
    EXPECT_TRUE(agentCalls().empty());
}

TEST_F(Binding, LibraryWithoutFactoryIsUnloadedAtOnceAndSilently)
{
    start("openssh-without-factory");
    ASSERT_NE(waitForWindow(), (HWND)NULL);
    EXPECT_EQ(agentCalls(), std::vector<std::string>{"unload"});
    expectWindowWithoutAgent();
}

class SilentFailures : public Binding, public ::testing::WithParamInterface<const char *> {};

TEST_P(SilentFailures, UnloadTheLibraryAndKeepTheWindowWithoutAgent)
{
    script(GetParam());
    start();
    ASSERT_NE(waitForWindow(), (HWND)NULL);
    std::vector<std::string> expected = {std::string("newIAgent ") + INTERFACE_ID, "unload"};
    EXPECT_EQ(agentCalls(), expected);
    expectWindowWithoutAgent();
}

INSTANTIATE_TEST_SUITE_P(Statuses, SilentFailures,
                         ::testing::Values("newIAgent 1\n", "newIAgent 3\n", "newIAgent -1\n",
                                           "newIAgent 0\nnullObject 1\n"));

TEST_F(Binding, InitializeAnsweringZeroEndsTheProgramAndDestroysTheObjectFirst)
{
    script("initialize 0\n");
    start();
    EXPECT_EQ(app->waitForExit(), 0u);
    EXPECT_EQ(window, (HWND)NULL);
    std::vector<std::string> expected = {std::string("newIAgent ") + INTERFACE_ID, "initialize",
                                         "destroy 1", "unload"};
    EXPECT_EQ(agentCalls(), expected);
}

struct UnavailableCase {
    bool answerYes;
    bool agentRunning;
};

class UnavailableAgent : public Binding, public ::testing::WithParamInterface<UnavailableCase> {};

TEST_P(UnavailableAgent, AsksAboutRepairTellsTheAgentToCloseAndQuits)
{
    std::unique_ptr<AgentWindow> agentWindow(GetParam().agentRunning ? new AgentWindow : nullptr);
    script("newIAgent 2\n");
    start();

    MessageBoxSeen box;
    ASSERT_TRUE(app->waitForMessageBox(box));
    EXPECT_EQ(box.caption, ENGLISH_TITLE);
    EXPECT_NE(box.text.find("repair"), std::string::npos) << box.text;
    EXPECT_NE(GetDlgItem(box.window, IDYES), (HWND)NULL);
    EXPECT_NE(GetDlgItem(box.window, IDNO), (HWND)NULL);
    // The library is gone before the user is asked.
    std::vector<std::string> beforeAnswer = {std::string("newIAgent ") + INTERFACE_ID, "unload"};
    EXPECT_EQ(agentCalls(), beforeAnswer);

    PostMessageA(box.window, WM_COMMAND, GetParam().answerYes ? IDYES : IDNO, 0);
    EXPECT_EQ(app->waitForExit(), 0u);
    settle();

    EXPECT_EQ(called("repairProduct {EAE54A96-DACA-4727-B0E9-6ACF6B522301} 0"), GetParam().answerYes);
    EXPECT_EQ(countCalls("repairProduct"), GetParam().answerYes ? 1 : 0);
    if (agentWindow) {
        ASSERT_EQ(agentWindow->received().size(), 1u);
        EXPECT_EQ(agentWindow->received()[0].message, static_cast<UINT>(WM_CLOSE));
        EXPECT_EQ(agentWindow->received()[0].wParam, 0u);
        EXPECT_EQ(agentWindow->received()[0].lParam, 0);
    }
}

std::string unavailableName(const ::testing::TestParamInfo<UnavailableCase> &c)
{
    return std::string(c.param.answerYes ? "Yes" : "No") + (c.param.agentRunning ? "WithAgent" : "WithoutAgent");
}

INSTANTIATE_TEST_SUITE_P(Answers, UnavailableAgent,
                         ::testing::Values(UnavailableCase{true, true}, UnavailableCase{false, true},
                                           UnavailableCase{false, false}),
                         unavailableName);

TEST_F(Binding, ProgramDoesNotStartWithoutTheInstallerLibrary)
{
    // The installer library is a load-time import (its repair operation).
    e2e::Sandbox bare(currentTestName() + ".bare");
    bare.addProduct();
    bare.addLanguage("1033");
    App program(bare);
    ASSERT_TRUE(program.start());
    EXPECT_EQ(program.waitForExit(), static_cast<DWORD>(0xC0000135)); // STATUS_DLL_NOT_FOUND
}

} // namespace
