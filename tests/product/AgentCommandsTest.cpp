// Lock, the agent passphrase, reset, the three policies and the agent
// process itself, from the manager to the real agent and back.
#include "AppFixture.h"
#include "ProductApp.h"
#include "resource.h"

using namespace e2e;

namespace {

class AgentCommands : public ProductApp {
protected:
    void startWithKey(const char *key = "ed25519-openssh")
    {
        start();
        ASSERT_EQ(peer("add", "keys/" + std::string(key)).status, 0);
        ASSERT_TRUE(waitForRowCount(1));
    }

    bool showsLocked()
    {
        return waitUntil(10000, [&] {
            return rows().empty() && enabled(IDC_UNLOCK_AGENT) && !enabled(IDC_LOCK_AGENT) && !menuEnabled(IDM_ADD_KEY);
        });
    }
    bool showsUnlocked(size_t keys)
    {
        return waitUntil(10000, [&] {
            return rows().size() == keys && !enabled(IDC_UNLOCK_AGENT) && enabled(IDC_LOCK_AGENT) &&
                   menuEnabled(IDM_ADD_KEY);
        });
    }
    void lock()
    {
        command(IDC_LOCK_AGENT);
        ASSERT_TRUE(showsLocked());
    }
    void expectUnlockRefused(const std::string &typed)
    {
        unlock(typed);
        EXPECT_EQ(closeBoxOwnedBy(window), englishString(IDS_UNLOCK_FAILED)) << typed;
        EXPECT_TRUE(showsLocked());
    }
    bool managerEnds() { return app->waitForExit(15000) != STILL_ACTIVE; }
};

TEST_F(AgentCommands, LockNeedsTheAgentPassphraseThatTheManagerSetsAndChanges)
{
    startWithKey();
    command(IDC_LOCK_AGENT);
    EXPECT_EQ(closeBoxOwnedBy(window), englishString(IDS_LOCK_FAILED));
    EXPECT_TRUE(showsUnlocked(1));

    setAgentPassphrase("", "first words");
    lock();
    EXPECT_EQ(peer("list").output, "The agent has no identities.");
    EXPECT_NE(peer("login", "keys/ed25519-openssh.pub").status, 0) << "a locked agent signed";
    expectUnlockRefused("second words");
    unlock("first words");
    ASSERT_TRUE(showsUnlocked(1));

    // A change needs the current passphrase.
    setAgentPassphrase("not the current", "never set");
    EXPECT_EQ(closeBoxOwnedBy(window), englishString(IDS_PASSPHRASE_REFUSED));
    setAgentPassphrase("first words", "second words");
    lock();
    expectUnlockRefused("first words");
    expectUnlockRefused("never set");
    unlock("second words");
    ASSERT_TRUE(showsUnlocked(1));
    EXPECT_EQ(peer("login", "keys/ed25519-openssh.pub").status, 0);
}

TEST_F(AgentCommands, ResetEmptiesAndUnlocksTheAgentAndClearsItsPassphrase)
{
    startWithKey();
    setAgentPassphrase("", "reset words");
    lock();
    HWND dialog = dialogOf(IDC_AGENT_PASSPHRASE, "Agent Passphrase");
    ASSERT_NE(dialog, (HWND)NULL);
    PostMessageA(dialog, WM_COMMAND, IDC_RESET_AGENT, 0);
    EXPECT_EQ(closeBoxOwnedBy(dialog, NULL, IDYES), englishString(IDS_RESET_WARNING));
    ASSERT_TRUE(managerEnds()) << "the manager stayed after the reset";

    ASSERT_NE(agentWindow(), (HWND)NULL) << "the reset ended the agent";
    EXPECT_EQ(peer("list").output, "The agent has no identities.");
    EXPECT_EQ(peer("add", "keys/rsa-openssh").status, 0) << "still locked after the reset";
    start();
    ASSERT_TRUE(showsUnlocked(1));
    EXPECT_EQ(rows()[0].name, "product rsa-openssh");
    command(IDC_LOCK_AGENT);
    EXPECT_EQ(closeBoxOwnedBy(window), englishString(IDS_LOCK_FAILED)) << "the agent passphrase survived the reset";
}

TEST_F(AgentCommands, PoliciesRefuseAddsAndRemovesAndOutliveTheManager)
{
    startWithKey();
    EXPECT_FALSE(menuChecked(IDM_CONFIRM_KEY_OP));
    EXPECT_TRUE(menuChecked(IDM_ALLOW_ADD));
    EXPECT_TRUE(menuChecked(IDM_ALLOW_DELETE));
    for (int id : {IDM_ALLOW_ADD, IDM_ALLOW_DELETE, IDM_CONFIRM_KEY_OP})
        command(id);
    ASSERT_TRUE(waitUntil(5000, [&] {
        return menuChecked(IDM_CONFIRM_KEY_OP) && !menuChecked(IDM_ALLOW_ADD) && !menuChecked(IDM_ALLOW_DELETE);
    }));

    addKeyFile(keyFile("rsa-openssh"));
    EXPECT_EQ(closeBoxOwnedBy(window), englishString(IDS_ADD_KEY_FAILED));
    EXPECT_NE(peer("add", "keys/ecdsa256-openssh").status, 0) << "ssh-add added against AllowAdd";
    select(0);
    command(IDC_REMOVE_KEY);
    EXPECT_EQ(closeBoxOwnedBy(window), englishString(IDS_REMOVE_KEY_FAILED));
    EXPECT_NE(peer("remove", "keys/ed25519-openssh").status, 0) << "ssh-add -d removed against AllowDelete";
    EXPECT_EQ(rows().size(), 1u);

    // The agent wrote them to the settings file that the manager reads.
    app->kill();
    start();
    EXPECT_TRUE(menuChecked(IDM_CONFIRM_KEY_OP));
    EXPECT_FALSE(menuChecked(IDM_ALLOW_ADD));
    EXPECT_FALSE(menuChecked(IDM_ALLOW_DELETE));
    command(IDM_ALLOW_ADD);
    ASSERT_TRUE(waitUntil(5000, [&] { return menuChecked(IDM_ALLOW_ADD); }));
    addKeyFile(keyFile("rsa-openssh"));
    EXPECT_TRUE(waitForRowCount(2)) << "AllowAdd on again, the add is still refused";
}

TEST_F(AgentCommands, AnAgentGoneIsStartedAgainAndStopAgentEndsBoth)
{
    startWithKey();
    // Closed behind the manager's back: the next look at the agent, here
    // the click in the list, starts a new one, which holds no keys.
    ASSERT_TRUE(stopAgent());
    clickBelowRows();
    ASSERT_TRUE(waitUntil(30000, [&] { return agentWindow() != NULL && rows().empty(); }))
        << "no new agent, or the list still shows the old one's keys";
    EXPECT_TRUE(menuEnabled(IDM_ADD_KEY));
    EXPECT_EQ(peer("list").output, "The agent has no identities.");
    ASSERT_EQ(peer("add", "keys/rsa-openssh").status, 0);
    EXPECT_TRUE(waitForRowCount(1)) << "the new agent does not tell the manager";

    HWND agent = agentWindow();
    command(IDM_STOP_AGENT);
    EXPECT_TRUE(managerEnds());
    EXPECT_TRUE(waitUntil(10000, [&] { return !IsWindow(agent); })) << "the agent still runs";
    PeerAnswer list = peer("list");
    EXPECT_NE(list.status, 0);
    EXPECT_NE(list.output, "The agent has no identities.");
}

} // namespace
