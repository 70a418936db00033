// Lock, unlock and the agent passphrase, run in-process against the real
// English dialogs: what the agent library and the agent window receive, the
// messages the user sees, that every heap copy of a passphrase was zeros
// when it went back (the allocation hook sees each block released), that
// the fields themselves leave none in the heaps, and that the passphrase
// goes to no window but one of this user's processes.
#include <gtest/gtest.h>

#include "AgentChannel.h"
#include "AllocationHook.h"
#include "CommandSupport.h"
#include "HeapSearch.h"
#include "ImportPatch.h"
#include "InProcessSupport.h"
#include "KeyManagerDialog.h"
#include "UserIdentity.h"
#include "resource.h"

using namespace commands;

namespace {

const char *const TITLE = "Glimmerpad Key Manager";
const char *const PASSPHRASE_DIALOG = "Agent Passphrase";
const char *const UNLOCK_DIALOG = "Unlock Agent";

std::string moduleString(UINT id)
{
    char text[2048] = "";
    LoadStringA(englishModule(), id, text, sizeof text);
    return text;
}

std::string field(const std::string &bytes, size_t offset)
{
    return std::string(bytes.c_str() + offset);
}

class LockAndPassphrase : public ManagerTest {
protected:
    void SetUp() override
    {
        ManagerTest::SetUp();
        manager->agent = &agent;
    }

    // Runs the command while the steps are answered; the handler's result.
    int run(int command, std::vector<Step> script, int failingAllocation = 0)
    {
        allocation::startRecording();
        if (failingAllocation != 0)
            allocation::failAllocation(failingAllocation);
        int result;
        {
            DialogDriver driver(std::move(script));
            result = manager->onCommand(command, NULL, 0);
            steps = driver.finish();
        }
        released = allocation::stopRecording();
        return result;
    }

    void expectAllStepsSeen()
    {
        for (const Step &step : steps)
            EXPECT_TRUE(step.seen) << step.caption << " did not appear";
    }

    // Everything the command put on the heap came back, and as zeros.
    void expectEverySecretWiped(size_t atLeast)
    {
        EXPECT_EQ(allocation::liveBlocks(), 0u) << "a copy outlived the command";
        EXPECT_GE(released.size(), atLeast);
        for (const allocation::Released &block : released)
            EXPECT_TRUE(block.allZero()) << "released unwiped: " << block.bytes.c_str();
    }

    RecordingAgent agent;
    std::vector<Step> steps;
    std::vector<allocation::Released> released;
};

typedef std::vector<std::pair<int, std::string>> Fields;

Fields passphrases(const std::string &current, const std::string &typed, const std::string &repeated)
{
    return {{IDC_CURRENT_PASSPHRASE, current}, {IDC_NEW_PASSPHRASE, typed}, {IDC_REPEAT_PASSPHRASE, repeated}};
}

class PassphraseAnswer : public LockAndPassphrase, public ::testing::WithParamInterface<LRESULT> {};

TEST_P(PassphraseAnswer, BothTextsGoInOneMessageAndNothingIsLeftBehind)
{
    AgentWindowDouble agentWindow(GetParam());
    std::vector<Step> script = {
        answer(PASSPHRASE_DIALOG, IDOK, passphrases("Old-Secret", "New-Secret-x", "New-Secret-x"))};
    if (GetParam() == 0)
        script.push_back(answer(TITLE, IDOK));

    int result = run(IDC_AGENT_PASSPHRASE, script);

    expectAllStepsSeen();
    EXPECT_EQ(result, GetParam() != 0 ? 1 : 0);
    ASSERT_EQ(agentWindow.copies.size(), 1u);
    const AgentWindowDouble::CopyData &sent = agentWindow.copies[0];
    EXPECT_EQ(sent.sender, owner);
    EXPECT_EQ(sent.kind, static_cast<ULONG_PTR>(COPYDATA_AGENT_PASSPHRASE));
    ASSERT_EQ(sent.size, 512u);
    EXPECT_EQ(field(sent.bytes, 0), "Old-Secret");
    EXPECT_EQ(field(sent.bytes, 256), "New-Secret-x");
    EXPECT_EQ(sent.bytes.find_first_not_of('\0', 256 + 12), std::string::npos) << "bytes after the texts";
    if (GetParam() == 0) {
        EXPECT_EQ(steps[1].text, moduleString(IDS_PASSPHRASE_REFUSED));
        EXPECT_EQ(steps[1].owner, owner);
    }
    // Two copies and the message buffer.
    expectEverySecretWiped(3);
    bool payloadSeen = false;
    for (const allocation::Released &block : released)
        payloadSeen = payloadSeen || block.bytes.size() == 512;
    EXPECT_TRUE(payloadSeen) << "the message buffer was not released through the heap";
}

INSTANTIATE_TEST_SUITE_P(AcceptedAndRefused, PassphraseAnswer, ::testing::Values(1, 0));

TEST_F(LockAndPassphrase, MismatchAndAnsweredNoKeepTheDialogOpen)
{
    AgentWindowDouble agentWindow;
    // A repeat that differs only in case is a different passphrase (Caps Lock).
    int result = run(IDC_AGENT_PASSPHRASE, {answer(PASSPHRASE_DIALOG, IDOK, passphrases("", "one", "two")),
                                            answer(TITLE, IDOK), answer(PASSPHRASE_DIALOG, IDC_RESET_AGENT),
                                            answer(TITLE, IDNO),
                                            answer(PASSPHRASE_DIALOG, IDOK, {{IDC_REPEAT_PASSPHRASE, "ONE"}}),
                                            answer(TITLE, IDOK),
                                            answer(PASSPHRASE_DIALOG, IDOK, {{IDC_REPEAT_PASSPHRASE, "one"}})});
    expectAllStepsSeen();
    EXPECT_EQ(steps[1].text, moduleString(IDS_PASSPHRASES_DIFFER));
    EXPECT_EQ(steps[1].owner, steps[0].window) << "the mismatch box belongs over the dialog";
    EXPECT_EQ(steps[3].text, moduleString(IDS_RESET_WARNING));
    EXPECT_EQ(steps[3].owner, steps[0].window);
    EXPECT_EQ(steps[4].window, steps[0].window) << "the dialog closed in between";
    EXPECT_EQ(steps[5].text, moduleString(IDS_PASSPHRASES_DIFFER)) << "ONE is not one";
    EXPECT_EQ(steps[6].window, steps[0].window);
    EXPECT_EQ(result, 1);
    ASSERT_EQ(agentWindow.messages, std::vector<std::string>{"74 copydata"});
    EXPECT_EQ(field(agentWindow.copies[0].bytes, 256), "one");
    EXPECT_FALSE(takeQuitMessage());
    expectEverySecretWiped(3);
}

TEST_F(LockAndPassphrase, ConfirmedResetTellsTheAgentAndEndsTheProgram)
{
    AgentWindowDouble agentWindow;
    int result = run(IDC_AGENT_PASSPHRASE, {answer(PASSPHRASE_DIALOG, IDC_RESET_AGENT,
                                                   passphrases("typed", "but-never", "but-never")),
                                            answer(TITLE, IDYES)});
    expectAllStepsSeen();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(agentWindow.messages, std::vector<std::string>{"1026 0 0"});
    EXPECT_TRUE(takeQuitMessage()) << "the key manager was not ended";
    expectEverySecretWiped(0);
}

TEST_F(LockAndPassphrase, EntriesAreTakenUpTo127Characters)
{
    AgentWindowDouble agentWindow;
    const std::string current(127, 'c'), typed(130, 'p');
    run(IDC_AGENT_PASSPHRASE, {answer(PASSPHRASE_DIALOG, IDOK, passphrases(current, typed, typed))});
    run(IDC_AGENT_PASSPHRASE, {answer(PASSPHRASE_DIALOG, IDOK, passphrases("", "", ""))});
    ASSERT_EQ(agentWindow.copies.size(), 2u);
    EXPECT_EQ(field(agentWindow.copies[0].bytes, 0), current);
    EXPECT_EQ(field(agentWindow.copies[0].bytes, 256), std::string(127, 'p'));
    EXPECT_EQ(agentWindow.copies[1].bytes, std::string(512, '\0'));
}

TEST_F(LockAndPassphrase, CancelCloseAndAMissingAgentSendNothing)
{
    EXPECT_EQ(run(IDC_AGENT_PASSPHRASE, {}), 0) << "no agent window, no dialog";
    {
        AgentWindowDouble agentWindow;
        EXPECT_EQ(run(IDC_AGENT_PASSPHRASE, {answer(PASSPHRASE_DIALOG, IDCANCEL, passphrases("a", "b", "b"))}), 1);
        EXPECT_EQ(run(IDC_AGENT_PASSPHRASE, {answer(PASSPHRASE_DIALOG, 0, passphrases("a", "b", "b"))}), 1);
        expectAllStepsSeen();
        EXPECT_TRUE(agentWindow.messages.empty());
    }
    EXPECT_FALSE(anyDialogVisible());
}

class FailingAllocation : public LockAndPassphrase, public ::testing::WithParamInterface<int> {};

// The first, second and third copy of a passphrase change cannot be made:
// nothing half done reaches the agent, and what was copied is wiped.
TEST_P(FailingAllocation, EndsThePassphraseChangeAsIfCancelled)
{
    AgentWindowDouble agentWindow;
    int result =
        run(IDC_AGENT_PASSPHRASE, {answer(PASSPHRASE_DIALOG, IDOK, passphrases("old-one", "new-one", "new-one"))},
            GetParam());
    expectAllStepsSeen();
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(agentWindow.copies.empty());
    EXPECT_FALSE(anyDialogVisible());
    expectEverySecretWiped(static_cast<size_t>(GetParam() - 1));
}

INSTANTIATE_TEST_SUITE_P(EachCopy, FailingAllocation, ::testing::Values(1, 2, 3));

TEST_F(LockAndPassphrase, UnlockHandsThePassphraseOverOnceAndWipesIt)
{
    AgentWindowDouble agentWindow;
    EXPECT_EQ(run(IDC_UNLOCK_AGENT, {answer(UNLOCK_DIALOG, IDOK, {{IDC_UNLOCK_PASSPHRASE, "Unlock-Secret"}})}), 1);
    expectEverySecretWiped(1);
    EXPECT_EQ(run(IDC_UNLOCK_AGENT, {answer(UNLOCK_DIALOG, IDOK)}), 1);
    EXPECT_EQ(agent.calls, (std::vector<std::string>{"unlock Unlock-Secret", "unlock "}));
    EXPECT_EQ(agentWindow.messages, (std::vector<std::string>{"1032 0 0", "1032 0 0"}));

    agent.calls.clear();
    EXPECT_EQ(run(IDC_UNLOCK_AGENT, {answer(UNLOCK_DIALOG, IDCANCEL, {{IDC_UNLOCK_PASSPHRASE, "x"}})}), 1);
    EXPECT_EQ(run(IDC_UNLOCK_AGENT, {answer(UNLOCK_DIALOG, IDOK, {{IDC_UNLOCK_PASSPHRASE, "x"}})}, 1), 1);
    expectAllStepsSeen();
    EXPECT_TRUE(agent.calls.empty()) << "unlocked after Cancel or without the copy";
}

TEST_F(LockAndPassphrase, RefusedUnlockAndLockAreToldAndNotAnnounced)
{
    AgentWindowDouble agentWindow;
    agent.unlockStatus = AGENT_E_UNLOCK;
    agent.lockStatus = AGENT_E_LOCK;
    EXPECT_EQ(run(IDC_UNLOCK_AGENT,
                  {answer(UNLOCK_DIALOG, IDOK, {{IDC_UNLOCK_PASSPHRASE, "wrong"}}), answer(TITLE, IDOK)}),
              0);
    EXPECT_EQ(steps[1].text, moduleString(IDS_UNLOCK_FAILED));
    EXPECT_EQ(steps[1].owner, owner);
    EXPECT_EQ(run(IDC_LOCK_AGENT, {answer(TITLE, IDOK)}), 0);
    expectAllStepsSeen();
    EXPECT_EQ(steps[0].text, moduleString(IDS_LOCK_FAILED));
    EXPECT_TRUE(agentWindow.messages.empty());
    EXPECT_EQ(agent.calls, (std::vector<std::string>{"unlock wrong", "lock"}));
}

TEST_F(LockAndPassphrase, AnyOtherLockStatusIsSuccessWithOrWithoutTheAgentWindow)
{
    agent.lockStatus = AGENT_E_UNLOCK;
    EXPECT_EQ(manager->onCommand(IDC_LOCK_AGENT, NULL, 0), 1);
    AgentWindowDouble agentWindow;
    agent.lockStatus = AGENT_OK;
    EXPECT_EQ(manager->onCommand(IDC_LOCK_AGENT, NULL, 0), 1);
    EXPECT_EQ(agent.calls, (std::vector<std::string>{"lock", "lock"}));
    EXPECT_EQ(agentWindow.messages, std::vector<std::string>{"1032 0 0"});
    EXPECT_FALSE(anyDialogVisible());
}

// The edit controls keep their text in buffers of their own, which go back
// to the heap with the dialog. Typed as a user types, each passphrase is
// looked for in every heap afterwards, whichever way its dialog ended; the
// test's doubles keep no copy themselves.
TEST_F(LockAndPassphrase, TypedPassphrasesLeaveNoCopyBehindTheirFields)
{
    AgentWindowDouble agentWindow;
    agentWindow.keepsPayloads = false;
    agent.keepsPassphrases = false;
    const char *const unlocking = "Unlock-field-text-of-the-heap-test-AAAAA";
    const char *const current = "Current-field-text-of-the-heap-test-BBBB";
    const char *const replacement = "New-field-text-of-the-heap-test-CCCCCCCC";
    const char *const cancelled = "Cancelled-field-text-of-the-heap-test-DD";
    const char *const closed = "Closed-field-text-of-the-heap-test-EEEEEE";

    EXPECT_EQ(run(IDC_UNLOCK_AGENT, {typing(UNLOCK_DIALOG, IDOK, {{IDC_UNLOCK_PASSPHRASE, unlocking}})}), 1);
    expectAllStepsSeen();
    EXPECT_EQ(run(IDC_AGENT_PASSPHRASE,
                  {typing(PASSPHRASE_DIALOG, IDOK,
                          {{IDC_CURRENT_PASSPHRASE, current},
                           {IDC_NEW_PASSPHRASE, replacement},
                           {IDC_REPEAT_PASSPHRASE, replacement}})}),
              1);
    expectAllStepsSeen();
    EXPECT_EQ(run(IDC_AGENT_PASSPHRASE, {typing(PASSPHRASE_DIALOG, IDCANCEL, {{IDC_NEW_PASSPHRASE, cancelled}})}), 1);
    expectAllStepsSeen();
    EXPECT_EQ(run(IDC_UNLOCK_AGENT, {typing(UNLOCK_DIALOG, 0, {{IDC_UNLOCK_PASSPHRASE, closed}})}), 1);
    expectAllStepsSeen();
    EXPECT_EQ(agent.calls, std::vector<std::string>{"unlock 40 characters"}) << "what was typed arrived";
    ASSERT_EQ(agentWindow.copies.size(), 1u);

    for (const char *typed : {unlocking, current, replacement, cancelled, closed}) {
        heapsearch::Found copies = heapsearch::inHeaps(typed + 16);
        EXPECT_EQ(copies.ansi, 0) << typed;
        EXPECT_EQ(copies.wide, 0) << typed << " in UTF-16, as the field holds it";
    }
}

// GetWindowThreadProcessId, answering for one window a process id that no
// process has: a window whose owner cannot be identified.
HWND unidentifiedWindow;
DWORD(WINAPI *realWindowOwner)(HWND, LPDWORD);

DWORD WINAPI ownerUnknownForOneWindow(HWND window, LPDWORD process)
{
    DWORD thread = realWindowOwner(window, process);
    if (window == unidentifiedWindow && process != NULL)
        *process = 0x7FFFFFF0;
    return thread;
}

// Wine runs every process as one user, so no window of another user's
// process can be made: the send path is tested with a window whose process
// cannot be identified, which the check refuses as it refuses another
// user's, and the check's own answers with what Wine has.
TEST_F(LockAndPassphrase, AnAgentWindowOfNoKnownProcessOfThisUserGetsNoPassphrase_WineHasNoOtherUser)
{
    AgentWindowDouble agentWindow;
    unidentifiedWindow = agentWindow.handle;
    realWindowOwner = reinterpret_cast<DWORD(WINAPI *)(HWND, LPDWORD)>(replaceImport(
        GetModuleHandleA(NULL), "user32.dll", "GetWindowThreadProcessId", reinterpret_cast<void *>(&ownerUnknownForOneWindow)));
    ASSERT_NE(realWindowOwner, nullptr);
    int result = run(IDC_AGENT_PASSPHRASE, {answer(PASSPHRASE_DIALOG, IDOK, passphrases("Old-Secret", "New-Secret", "New-Secret")),
                                            answer(TITLE, IDOK)});
    replaceImport(GetModuleHandleA(NULL), "user32.dll", "GetWindowThreadProcessId", reinterpret_cast<void *>(realWindowOwner));

    expectAllStepsSeen();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(agentWindow.copies.empty()) << "the passphrases were sent";
    EXPECT_EQ(steps[1].text, moduleString(IDS_PASSPHRASE_REFUSED));
    EXPECT_EQ(steps[1].owner, owner);
    expectEverySecretWiped(2);
}

TEST(WindowOfCurrentUser, AnyProcessOfThisUserAndNothingUnknown)
{
    HWND own = inprocess::createPlainWindow(0, 0, 50, 50);
    EXPECT_TRUE(windowOfCurrentUser(own));
    // Wine's desktop window belongs to its explorer process.
    DWORD desktopProcess = 0;
    GetWindowThreadProcessId(GetDesktopWindow(), &desktopProcess);
    EXPECT_NE(desktopProcess, GetCurrentProcessId());
    EXPECT_TRUE(windowOfCurrentUser(GetDesktopWindow())) << "another process of this user";
    DestroyWindow(own);
    EXPECT_FALSE(windowOfCurrentUser(own)) << "a window gone";
    EXPECT_FALSE(windowOfCurrentUser(NULL));
}

} // namespace
