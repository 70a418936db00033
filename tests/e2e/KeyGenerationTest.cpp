// Key generation from the key manager: what the dialog accepts, the worker
// that calls the agent library, stopping it, and how a generation gets
// along with the key list's refresh.
#include <gtest/gtest.h>

#include <algorithm>

#include "AgentChannel.h"
#include "AppFixture.h"
#include "resource.h"

using namespace e2e;

namespace {

void movePointer(POINT to)
{
    SetCursorPos(to.x, to.y);
    settle();
}

// Cases of the parameterised tests are named by their `name`.
template <typename Case> std::string caseName(const ::testing::TestParamInfo<Case> &c)
{
    return c.param.name;
}

class KeyGeneration : public AgentApp {
protected:
    // Command 112 as the Generate button gives it; the dialog that opens.
    HWND openDialog(const char *name = "id_new")
    {
        PostMessageA(window, WM_COMMAND, IDC_GENERATE_KEY, 0);
        dialog = app->waitForDialogOwnedBy(window);
        SetDlgItemTextA(dialog, IDC_KEY_FILE, name);
        return dialog;
    }

    // The focus stays where it is, as when the user presses Enter.
    void pressOk() { PostMessageA(dialog, WM_COMMAND, IDOK, 0); }

    std::string text(int id)
    {
        char value[512] = "";
        GetDlgItemTextA(dialog, id, value, sizeof value);
        return value;
    }

    // The text of the next message box over the dialog, which is then
    // closed; empty when none comes within `ms`.
    std::string closeBox(DWORD ms = 5000)
    {
        HWND box = app->waitForDialogOwnedBy(dialog, ms);
        if (box == NULL)
            return "";
        std::string message = messageBoxMessage(box);
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        waitUntil(3000, [&] { return !IsWindow(box); });
        return message;
    }

    bool dialogEnds(DWORD ms = 3000)
    {
        return waitUntil(ms, [&] { return !IsWindow(dialog); });
    }

    // What the agent double logged of generateKey: a call, then its return.
    std::vector<std::string> generateCalls() const { return callsStartingWith("generateKey "); }

    bool generationStarted()
    {
        return waitUntil(5000, [&] { return !generateCalls().empty(); });
    }

    // The key list is rebuilt on a refresh and a click in it is answered.
    void expectKeyListStillFollowsTheAgent()
    {
        script("key new|0|two\n");
        DWORD_PTR answer = 0;
        EXPECT_TRUE(SendMessageTimeoutA(window, WM_AGENT_REFRESH, 0, 0, SMTO_NORMAL, timeoutMs(3000), &answer))
            << "the refresh hangs";
        EXPECT_EQ(rows(), std::vector<std::string>{"new\tEd25519\ttwo"});
        clickRow(0);
        EXPECT_TRUE(enabled(IDC_REMOVE_KEY)) << "the click hangs";
    }

    HWND dialog = NULL;
};

struct ModeCase {
    const char *name;
    const char *script;
    const char *types; // "<name> <code>" per entry, in order
    UINT32 smallest;
    UINT rangeError;
};

class KeyGenerationModes : public KeyGeneration, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(KeyGenerationModes, OfferTheirTypesAndTakeTheirSizes)
{
    const ModeCase &mode = GetParam();
    startWith(mode.script);
    ASSERT_NE(openDialog(), (HWND)NULL);
    LONG style = GetWindowLongA(GetDlgItem(dialog, IDC_KEY_TYPE), GWL_STYLE);
    EXPECT_EQ(style & (3 | CBS_SORT), CBS_DROPDOWNLIST) << "an unsorted drop-down list";
    EXPECT_EQ(app->probeAt(dialog, "comboentries", IDC_KEY_TYPE), mode.types);
    EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_KEY_TYPE, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(text(IDC_KEY_SIZE), "1024");
    pressOk();
    EXPECT_TRUE(dialogEnds());
    EXPECT_EQ(generateCalls(), (std::vector<std::string>{"generateKey id_new 1 1024", "generateKey returned 0"}));

    // Refused input keeps the dialog open with what was entered, accepted
    // input ends it with one call; the name is looked at first.
    const struct {
        std::string name, size;
        UINT refusal; // 0 when accepted
    } inputs[] = {{"k", std::to_string(mode.smallest - 1), mode.rangeError},
                  {"k", std::to_string(mode.smallest), 0},
                  {"k", "32768", 0},
                  {"k", "32769", mode.rangeError},
                  {"k", "", mode.rangeError},
                  {"k", "bits", mode.rangeError},
                  {"k", "-1024", mode.rangeError},
                  {"", "1", IDS_KEY_FILE_MISSING}};
    for (const auto &input : inputs) {
        SCOPED_TRACE("name \"" + input.name + "\", size \"" + input.size + "\"");
        ASSERT_NE(openDialog(input.name.c_str()), (HWND)NULL);
        SetDlgItemTextA(dialog, IDC_KEY_SIZE, input.size.c_str());
        SendDlgItemMessageA(dialog, IDC_KEY_TYPE, CB_SETCURSEL, 1, 0);
        size_t before = generateCalls().size();
        pressOk();
        if (input.refusal == 0) {
            EXPECT_TRUE(dialogEnds());
            EXPECT_EQ(generateCalls().at(before), "generateKey " + input.name + " 2 " + input.size);
            continue;
        }
        EXPECT_EQ(closeBox(), englishString(input.refusal));
        EXPECT_EQ(closeBox(300), "") << "a second box";
        EXPECT_EQ(text(IDC_KEY_FILE) + "|" + text(IDC_KEY_SIZE), input.name + "|" + input.size);
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_KEY_TYPE, CB_GETCURSEL, 0, 0), 1);
        EXPECT_EQ(generateCalls().size(), before);
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        ASSERT_TRUE(dialogEnds());
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, KeyGenerationModes,
                         ::testing::Values(ModeCase{"Normal", "", "RSA 1\nECDSA 2\nEd25519 0\n", 512,
                                                    IDS_KEY_SIZE_RANGE},
                                           ModeCase{"Restricted", "restricted 1\n", "RSA 1\nECDSA 2\n", 1024,
                                                    IDS_KEY_SIZE_RANGE_RESTRICTED}),
                         caseName<ModeCase>);

TEST_F(KeyGeneration, TheNameMadeIsTheNameShown)
{
    startWith("");
    ASSERT_NE(openDialog(""), (HWND)NULL);
    for (int i = 0; i < 140; ++i)
        PostMessageA(GetDlgItem(dialog, IDC_KEY_FILE), WM_CHAR, 'a' + i % 26, 0);
    // A loaded machine may still be working through the characters: read
    // the field once it has at least the 127 that are used and has stopped
    // growing.
    std::string shown;
    waitUntil(5000, [&] {
        std::string before = text(IDC_KEY_FILE);
        settle(300);
        shown = text(IDC_KEY_FILE);
        return shown.size() >= 127 && shown == before;
    });
    pressOk();
    ASSERT_TRUE(dialogEnds());
    EXPECT_EQ(generateCalls().at(0), "generateKey " + shown + " 1 1024");
}

TEST_F(KeyGeneration, WithoutAgentLibraryOpensNothing)
{
    start("");
    ASSERT_NE(waitForWindow(), (HWND)NULL);
    PostMessageA(window, WM_COMMAND, IDC_GENERATE_KEY, 0);
    settle(500);
    EXPECT_TRUE(app->isRunning());
    EXPECT_FALSE(app->hasOtherTopLevelWindow());
}

TEST_F(KeyGeneration, WhileWorkingOnlyCancelAndHelpAreEnabledAndTheCursorWaits)
{
    startWith("generateKeyTakes 60000\n");
    movePointer(centreOf(GetDlgItem(window, IDC_KEY_LIST)));
    ASSERT_EQ(app->cursor(), "arrow");
    ASSERT_NE(openDialog(), (HWND)NULL);
    movePointer(centreOf(GetDlgItem(dialog, IDC_KEY_SIZE_LABEL)));
    pressOk();
    ASSERT_TRUE(generationStarted());
    settle();
    for (int id : {IDC_KEY_FILE_LABEL, IDC_KEY_FILE, IDC_KEY_TYPE_LABEL, IDC_KEY_TYPE, IDC_KEY_SIZE_LABEL,
                   IDC_KEY_SIZE, IDOK, IDCANCEL, IDC_GENERATE_HELP})
        EXPECT_EQ(IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE, id == IDCANCEL || id == IDC_GENERATE_HELP)
            << "control " << id;
    GUITHREADINFO input = {};
    input.cbSize = sizeof input;
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, NULL), &input);
    EXPECT_EQ(input.hwndFocus, GetDlgItem(dialog, IDCANCEL));
    EXPECT_EQ(app->cursor(), "wait");

    movePointer(centreOf(GetDlgItem(dialog, IDCANCEL)));
    EXPECT_EQ(app->cursor(), "arrow");
    movePointer(centreOf(GetDlgItem(dialog, IDC_KEY_FILE)));
    EXPECT_EQ(app->cursor(), "wait");
    // Away from the program nothing else sets the cursor: what shows after
    // the dialog is what the key manager put back.
    RECT frame;
    GetWindowRect(window, &frame);
    movePointer(POINT{frame.right + 40, frame.bottom + 40});
    ASSERT_EQ(app->cursor(), "wait");
    ASSERT_TRUE(makeForeground(dialog));
    pressKey(VK_ESCAPE);
    EXPECT_TRUE(dialogEnds(1000));
    EXPECT_EQ(app->cursor(), "arrow");
}

// Cancel, Esc and closing the window end the dialog at once, cutting a
// running generation off, and the key list keeps following the agent.
enum StopWay { CANCEL_BUTTON, ESCAPE_KEY, CLOSE_BOX };
struct StopCase {
    const char *name;
    bool generating;
    StopWay way;
};

class StoppingKeyGeneration : public KeyGeneration, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StoppingKeyGeneration, EndsAtOnceWithoutAMessage)
{
    const DWORD generationMs = timeoutMs(1500);
    startWith("key old|1|one\ngenerateKeyTakes " + std::to_string(generationMs) + "\n");
    ASSERT_NE(openDialog(), (HWND)NULL);
    if (GetParam().generating) {
        pressOk();
        ASSERT_TRUE(generationStarted());
    }
    DWORD stopped = GetTickCount();
    ASSERT_TRUE(makeForeground(dialog));
    if (GetParam().way == CANCEL_BUTTON)
        clickAt(centreOf(GetDlgItem(dialog, IDCANCEL)));
    else if (GetParam().way == ESCAPE_KEY)
        pressKey(VK_ESCAPE);
    else
        PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(dialogEnds(1000));
    EXPECT_FALSE(app->hasOtherTopLevelWindow()) << "a message";
    expectKeyListStillFollowsTheAgent();

    // A call that was cut off never returns.
    DWORD since = GetTickCount() - stopped;
    if (GetParam().generating && since < generationMs + 500)
        pumpFor(generationMs + 500 - since);
    std::vector<std::string> cut;
    if (GetParam().generating)
        cut.push_back("generateKey id_new 1 1024");
    EXPECT_EQ(generateCalls(), cut);
}

INSTANTIATE_TEST_SUITE_P(Ways, StoppingKeyGeneration,
                         ::testing::Values(StopCase{"CancelBeforeOk", false, CANCEL_BUTTON},
                                           StopCase{"CancelWhileWorking", true, CANCEL_BUTTON},
                                           StopCase{"EscapeWhileWorking", true, ESCAPE_KEY},
                                           StopCase{"ClosingWhileWorking", true, CLOSE_BOX}),
                         caseName<StopCase>);

// How a generation ends: status 11 with its message before the dialog
// goes, any other status silently; a refresh announced meanwhile waits.
struct OutcomeCase {
    const char *name;
    int status;
    bool refreshWhileWorking;
};

class KeyGenerationOutcome : public KeyGeneration, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(KeyGenerationOutcome, EndsTheDialogAfterTheAgentReturns)
{
    std::string agent = "generateKeyTakes " + std::to_string(timeoutMs(1500)) + "\ngenerateKey " +
                        std::to_string(GetParam().status) + "\n";
    startWith("key old|1|one\n" + agent);
    ASSERT_NE(openDialog(), (HWND)NULL);
    pressOk();
    ASSERT_TRUE(generationStarted());
    int listings = countCalls("getKeyList");
    if (GetParam().refreshWhileWorking) {
        script("key new|0|two\n" + agent);
        PostMessageA(window, WM_AGENT_REFRESH, 0, 0);
    }
    if (GetParam().status == 11) {
        EXPECT_EQ(closeBox(), englishString(IDS_KEY_GENERATION_FAILED));
    }
    EXPECT_TRUE(dialogEnds(5000));
    EXPECT_FALSE(app->hasOtherTopLevelWindow()) << "a message";
    std::string returned = "generateKey returned " + std::to_string(GetParam().status);
    EXPECT_EQ(generateCalls(), (std::vector<std::string>{"generateKey id_new 1 1024", returned}));
    if (GetParam().refreshWhileWorking) {
        EXPECT_TRUE(waitUntil(3000, [&] { return countCalls("getKeyList") == listings + 1; }));
        EXPECT_EQ(rows(), std::vector<std::string>{"new\tEd25519\ttwo"});
        std::vector<std::string> log = calls();
        auto end = std::find(log.begin(), log.end(), returned);
        EXPECT_EQ(std::count(end, log.end(), "getKeyList"), 1) << "listed before the generation ended";
    }
}

INSTANTIATE_TEST_SUITE_P(Statuses, KeyGenerationOutcome,
                         ::testing::Values(OutcomeCase{"Success", 0, false},
                                           OutcomeCase{"OtherStatusIsSilent", 8, false},
                                           OutcomeCase{"FailureIsShownFirst", 11, false},
                                           OutcomeCase{"RefreshWaitsForTheEnd", 0, true},
                                           OutcomeCase{"FailureWithARefreshPending", 11, true}),
                         caseName<OutcomeCase>);

} // namespace
