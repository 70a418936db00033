// Context help in the real program, with its help file in the sandbox.
// What Wine's viewer shows (HELP_CONTEXT topics) is read back from the
// viewer. Wine shows no popup for HELP_CONTEXTPOPUP and refuses HELP_WM_HELP
// and HELP_CONTEXTMENU, so for those the probe records the program's calls
// to WinHelpA (window, command, data, path) and the tests say so by name.
#include <gtest/gtest.h>

#include <sstream>

#include "AgentChannel.h"
#include "AgentProcess.h"
#include "AppFixture.h"
#include "WineHelpViewer.h"
#include "resource.h"

using namespace e2e;

namespace {

// One recorded call, as the probe writes it.
struct HelpCall {
    std::string window, command, data, capture, cursor, result, path;
};

std::string hexOf(HWND window)
{
    char text[32];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
    return text;
}

// The capture of the thread that runs `window`, seen from this process.
HWND captureOf(HWND window)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(window, NULL), &info);
    return info.hwndCapture;
}

class ContextHelp : public HelpApp {
protected:
    // Starts the program (with the agent library double unless `library`
    // is empty) and has the probe record its calls to the help engine.
    void startRecording(const std::string &library = "openssh")
    {
        start(library);
        ASSERT_NE(waitForWindow(), (HWND)NULL);
        ASSERT_EQ(app->probe("recordhelp"), "ok");
    }

    std::vector<HelpCall> helpCalls()
    {
        std::vector<HelpCall> calls;
        std::istringstream lines(app->probe("helpcalls"));
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            HelpCall call;
            words >> call.window >> call.command >> call.data >> call.capture >> call.cursor >> call.result;
            std::getline(words >> std::ws, call.path);
            calls.push_back(call);
        }
        return calls;
    }

    std::vector<HelpCall> waitForHelpCalls(size_t count)
    {
        std::vector<HelpCall> calls;
        waitUntil(5000, [&] { return (calls = helpCalls()).size() >= count; });
        return calls;
    }

    std::string helpFile() const { return sandbox->file("Help\\1033\\gagent.hlp"); }

    void enterWhatsThis()
    {
        ASSERT_TRUE(makeForeground(window));
        command(IDM_WHATS_THIS);
        ASSERT_TRUE(waitUntil(5000, [&] { return captureOf(window) == window; })) << "no capture for the mode";
    }
};

TEST_F(ContextHelp, HelpTopicsAndHelpButtonsOpenTheirTopicsInWinesViewer)
{
    // The passphrase command opens its dialog only while the agent runs.
    AgentProcess agentProcess(sandbox->file("agent.log"));
    ASSERT_TRUE(agentProcess.start());
    startRecording();
    // Wine's WinHelpA fails while its viewer is still starting.
    ASSERT_TRUE(helpviewer::start());

    command(IDM_HELP_TOPICS);
    std::string shown = helpviewer::waitForTextBeginning("Glimmerpad Key Manager\r");
    EXPECT_EQ(shown.compare(0, 23, "Glimmerpad Key Manager\r"), 0) << shown;

    const struct {
        int command;
        const char *caption;
        int helpButton;
        const char *title;
    } dialogs[] = {
        {IDC_UNLOCK_AGENT, "Unlock Agent", IDC_UNLOCK_HELP, "Unlocking the agent\r"},
        {IDC_AGENT_PASSPHRASE, "Agent Passphrase", IDC_PASSPHRASE_HELP, "Setting the agent passphrase\r"},
    };
    std::vector<HWND> shownDialogs;
    for (const auto &dialog : dialogs) {
        command(dialog.command);
        HWND opened = app->waitForDialog(dialog.caption);
        ASSERT_NE(opened, (HWND)NULL) << dialog.caption;
        shownDialogs.push_back(opened);
        PostMessageA(GetDlgItem(opened, dialog.helpButton), BM_CLICK, 0, 0);
        shown = helpviewer::waitForTextBeginning(dialog.title);
        EXPECT_EQ(shown.compare(0, strlen(dialog.title), dialog.title), 0) << shown;
        EXPECT_TRUE(IsWindow(opened)) << "the help button closed " << dialog.caption;
        PostMessageA(opened, WM_COMMAND, IDCANCEL, 0);
        ASSERT_TRUE(waitUntil(5000, [&] { return !IsWindow(opened); }));
    }

    std::vector<HelpCall> calls = helpCalls();
    ASSERT_EQ(calls.size(), 3u);
    const std::string windows[] = {hexOf(window), hexOf(shownDialogs[0]), hexOf(shownDialogs[1])};
    const char *const topics[] = {"1000", "1001", "1002"};
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].window, windows[i]) << i;
        EXPECT_EQ(calls[i].command, "1") << i; // HELP_CONTEXT
        EXPECT_EQ(calls[i].data, topics[i]);
        EXPECT_EQ(calls[i].path, helpFile());
    }
}

// Escape, the other keys and the other ways out are covered in-process.
TEST_F(ContextHelp, WhatsThisTakesARefreshAndAClickOnADisabledButtonAsksForItsPopup_CallRecordedAsWineShowsNoPopups)
{
    script("key first|1|SHA256:one\nlocked 1\n"); // locked: Remove Key is disabled
    startRecording();
    ASSERT_EQ(rows().size(), 1u);
    HWND removeKey = GetDlgItem(window, IDC_REMOVE_KEY);
    ASSERT_FALSE(IsWindowEnabled(removeKey));

    enterWhatsThis();
    EXPECT_EQ(app->probe("cursor"), "help");
    script("key first|1|SHA256:one\nkey second|0|SHA256:two\nlocked 1\n");
    DWORD_PTR ignored = 0;
    ASSERT_TRUE(SendMessageTimeoutA(window, WM_AGENT_REFRESH, 0, 0, SMTO_NORMAL, timeoutMs(5000), &ignored))
        << "the refresh was not taken while the mode ran";
    EXPECT_EQ(rows().size(), 2u);
    ASSERT_EQ(captureOf(window), window) << "the refresh ended the mode";

    clickAt(centreOf(removeKey));

    std::vector<HelpCall> calls = waitForHelpCalls(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].window, hexOf(window));
    EXPECT_EQ(calls[0].command, "8"); // HELP_CONTEXTPOPUP
    EXPECT_EQ(calls[0].data, "2002");
    EXPECT_EQ(calls[0].path, helpFile());
    EXPECT_EQ(calls[0].capture, "0") << "capture still held when help was asked for";
    EXPECT_NE(calls[0].cursor, "help") << "help cursor still shown when help was asked for";
    EXPECT_EQ(captureOf(window), (HWND)NULL);
}

TEST_F(ContextHelp, F1AndRightClickOnTheKeyListAskWithTheHelpTable_CallsRecordedAsWineRefusesBoth)
{
    startRecording();
    HWND list = GetDlgItem(window, IDC_KEY_LIST);
    ASSERT_TRUE(makeForeground(window));
    clickAt(centreOf(list));
    pressKey(VK_F1);
    waitForHelpCalls(1);
    rightClickAt(centreOf(list));

    std::vector<HelpCall> calls = waitForHelpCalls(2);
    ASSERT_EQ(calls.size(), 2u);
    const std::string table = "table:111,2000;112,2001;113,2002;114,2003;136,2004;119,2005;120,2015;166,2006;"
                              "167,2007;172,2008;173,2008;174,2009;175,2009;176,2010;177,2010;142,2011;146,2011;"
                              "143,2012;147,2012;144,2013;148,2013;141,2014;-1,2016;163,2016;205,2017;206,2017;0,0";
    EXPECT_EQ(calls[0].window, hexOf(list));
    EXPECT_EQ(calls[0].command, "12"); // HELP_WM_HELP
    EXPECT_EQ(calls[0].data, table);
    EXPECT_EQ(calls[1].window, hexOf(list));
    EXPECT_EQ(calls[1].command, "10"); // HELP_CONTEXTMENU
    EXPECT_EQ(calls[1].data, table);
    for (const HelpCall &call : calls) {
        EXPECT_EQ(call.path, helpFile());
        EXPECT_EQ(call.result, "0") << "Wine's engine accepted the command";
    }
}

} // namespace
