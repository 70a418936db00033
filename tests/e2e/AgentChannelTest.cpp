// The key manager and a running agent process: the policy switches and
// "Stop Agent" tell it, its refresh announcements wait for the event it
// holds. The agent is a process of its own (test_agent.exe) that logs what
// reaches its window, as the real one would receive it.
#include <gtest/gtest.h>

#include <fstream>

#include "AgentProcess.h"
#include "AppFixture.h"
#include "resource.h"

using namespace e2e;

namespace {

// The agent's side of the channel, as the agent process knows it.
const char *const SET_CONFIRM = "received 1029 0 ";
const char *const SET_ALLOW_ADD = "received 1030 0 ";
const char *const SET_ALLOW_DELETE = "received 1031 0 ";
const char *const CLOSE = "received 16 0 0";

struct Marks {
    bool confirm, add, remove;
    bool operator==(const Marks &other) const
    {
        return confirm == other.confirm && add == other.add && remove == other.remove;
    }
};

std::ostream &operator<<(std::ostream &out, const Marks &marks)
{
    return out << "{confirm " << marks.confirm << ", add " << marks.add << ", delete " << marks.remove << "}";
}

class AgentChannel : public AgentApp {
protected:
    void TearDown() override
    {
        // The program first: a held event must not outlive the agent while
        // the program waits on it, and the agent ends after it either way.
        if (app)
            app->kill();
        agent.reset();
    }

    void startAgent()
    {
        agent.reset(new AgentProcess(sandbox->file("agent.log")));
        ASSERT_TRUE(agent->start());
    }

    void startProgram(const std::string &settings = "")
    {
        if (!settings.empty()) {
            std::ofstream file(sandbox->file("gAgent").c_str(), std::ios::binary);
            file << settings;
        }
        start();
        ASSERT_NE(waitForWindow(), (HWND)NULL);
    }

    // The command as the menu gives it; the handler has run when it returns,
    // unless the program is stuck in it.
    void command(int id)
    {
        DWORD_PTR result;
        SendMessageTimeoutA(window, WM_COMMAND, MAKEWPARAM(id, 0), 0, SMTO_NORMAL, timeoutMs(5000), &result);
    }

    Marks marks()
    {
        return Marks{(app->menuState(IDM_CONFIRM_KEY_OP) & MF_CHECKED) != 0,
                     (app->menuState(IDM_ALLOW_ADD) & MF_CHECKED) != 0,
                     (app->menuState(IDM_ALLOW_DELETE) & MF_CHECKED) != 0};
    }

    std::unique_ptr<AgentProcess> agent;
};

const Marks DEFAULTS = {false, true, true};

TEST_F(AgentChannel, SwitchesFlipTheirFlagTellTheAgentAndMoveTheirMark)
{
    startAgent();
    startProgram();
    ASSERT_EQ(marks(), DEFAULTS);

    command(IDM_CONFIRM_KEY_OP);
    EXPECT_EQ(marks(), (Marks{true, true, true}));
    command(IDM_ALLOW_ADD);
    EXPECT_EQ(marks(), (Marks{true, false, true}));
    command(IDM_ALLOW_ADD);
    EXPECT_EQ(marks(), (Marks{true, true, true}));
    command(IDM_ALLOW_DELETE);
    EXPECT_EQ(marks(), (Marks{true, true, false}));
    command(IDM_CONFIRM_KEY_OP);
    EXPECT_EQ(marks(), (Marks{false, true, false}));

    // Nothing else reaches the agent, at start or with the switches.
    std::vector<std::string> expected = {std::string(SET_CONFIRM) + "1",     std::string(SET_ALLOW_ADD) + "0",
                                         std::string(SET_ALLOW_ADD) + "1",   std::string(SET_ALLOW_DELETE) + "0",
                                         std::string(SET_CONFIRM) + "0"};
    EXPECT_EQ(agent->received(), expected);
}

TEST_F(AgentChannel, SwitchesStartFromTheSettingsFile)
{
    startAgent();
    startProgram("#\nConfirmKeyOp yes\nAllowAdd no\nAllowDelete no\n");
    ASSERT_EQ(marks(), (Marks{true, false, false}));

    command(IDM_ALLOW_DELETE);
    command(IDM_ALLOW_ADD);
    command(IDM_CONFIRM_KEY_OP);
    EXPECT_EQ(marks(), DEFAULTS);
    std::vector<std::string> expected = {std::string(SET_ALLOW_DELETE) + "1", std::string(SET_ALLOW_ADD) + "1",
                                         std::string(SET_CONFIRM) + "0"};
    EXPECT_EQ(agent->received(), expected);
}

TEST_F(AgentChannel, WithoutAgentSwitchesChangeNothingAndAnAgentStartedLaterIsFound)
{
    startProgram();
    command(IDM_CONFIRM_KEY_OP);
    command(IDM_ALLOW_ADD);
    command(IDM_ALLOW_DELETE);
    EXPECT_EQ(marks(), DEFAULTS);

    // The flags themselves stayed too: the agent hears the first flip.
    startAgent();
    command(IDM_ALLOW_ADD);
    EXPECT_EQ(marks(), (Marks{false, false, true}));
    EXPECT_EQ(agent->received(), std::vector<std::string>{std::string(SET_ALLOW_ADD) + "0"});
}

TEST_F(AgentChannel, AnAgentThatHasEndedIsNotToldAnything)
{
    startAgent();
    startProgram();
    ASSERT_TRUE(agent->orderExit(0));
    ASSERT_EQ(agent->waitForExit(), 0u);

    command(IDM_ALLOW_DELETE);
    EXPECT_EQ(marks(), DEFAULTS);
    EXPECT_TRUE(agent->received().empty());
}

TEST_F(AgentChannel, StopAgentClosesTheAgentAndThenTheProgram)
{
    startAgent();
    startProgram();
    PostMessageA(window, WM_COMMAND, IDM_STOP_AGENT, 0);
    EXPECT_EQ(app->waitForExit(), 0u);
    EXPECT_EQ(agent->waitForExit(), 0u);
    EXPECT_EQ(agent->received(), std::vector<std::string>{CLOSE});
    // The program ended the ordinary way, releasing the agent library.
    EXPECT_EQ(countCalls("destroy"), 1);
}

TEST_F(AgentChannel, StopAgentWithoutAgentStillEndsTheProgram)
{
    startProgram();
    PostMessageA(window, WM_COMMAND, IDM_STOP_AGENT, 0);
    EXPECT_EQ(app->waitForExit(), 0u);
    EXPECT_EQ(countCalls("destroy"), 1);
}

// The agent holds the refresh event reset while it changes the key set and
// announces the change; the key manager lists the keys once it is set.
struct RefreshCase {
    const char *name;
    bool agentFirst; // the agent made the event before the program started
    bool sent;       // announced by SendMessage rather than PostMessage
};

class HeldRefresh : public AgentChannel, public ::testing::WithParamInterface<RefreshCase> {
protected:
    // Waits up to `ms` for the listings to reach `count`.
    bool listingsReach(int count, DWORD ms)
    {
        return waitUntil(ms, [&] { return countCalls("getKeyList") >= count; });
    }

    // Whether the agent's SendMessage has come back, waiting up to `ms`.
    bool answered(DWORD ms)
    {
        return waitUntil(ms, [&] {
            for (const std::string &line : agent->log()) {
                if (line.compare(0, 27, "order send-refresh answered") == 0)
                    return true;
            }
            return false;
        });
    }
};

TEST_P(HeldRefresh, IsHandledOnlyAfterTheAgentSetsTheEvent)
{
    script("key before|1|one\n");
    startAgent();
    if (GetParam().agentFirst) {
        ASSERT_TRUE(agent->holdRefreshEventReset());
    }
    startProgram();
    if (!GetParam().agentFirst) {
        ASSERT_TRUE(agent->holdRefreshEventReset());
    }
    int listings = countCalls("getKeyList");
    ASSERT_EQ(listings, 1);

    script("key after|0|two\n");
    ASSERT_TRUE(GetParam().sent ? agent->sendRefreshTo(window) : agent->postRefreshTo(window));
    // Nothing may ask the program anything now: it is waiting on the event.
    EXPECT_FALSE(listingsReach(listings + 1, 500)) << "listed while the event was held";
    EXPECT_FALSE(answered(0));

    ASSERT_TRUE(agent->setRefreshEvent());
    EXPECT_TRUE(listingsReach(listings + 1, 5000));
    EXPECT_EQ(rows(), std::vector<std::string>{"after\tEd25519\ttwo"});
    if (GetParam().sent) {
        EXPECT_TRUE(answered(2000));
    }
    EXPECT_EQ(countCalls("getKeyList"), listings + 1);
}

std::string refreshName(const ::testing::TestParamInfo<RefreshCase> &c)
{
    return c.param.name;
}

INSTANTIATE_TEST_SUITE_P(Announcements, HeldRefresh,
                         ::testing::Values(RefreshCase{"AgentFirstSent", true, true},
                                           RefreshCase{"ProgramFirstPosted", false, false}),
                         refreshName);

} // namespace
