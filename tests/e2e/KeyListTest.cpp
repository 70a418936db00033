// The key list and the command states, driven by the agent's answers,
// clicks in the list and the agent side's refresh announcements.
#include <gtest/gtest.h>

#include <sstream>

#include "AgentChannel.h"
#include <commctrl.h>
#include "AppFixture.h"
#include "resource.h"

using namespace e2e;

namespace {

const char *const THREE_KEYS = "key zulu|1|SHA256:zzz\n"
                               "key alpha|3|SHA256:aaa\n"
                               "key mike|0|MD5:12:34\n";

class KeyList : public AgentApp {
protected:
    // Column widths in pixels, as the list reports them.
    std::vector<int> columnWidths()
    {
        std::istringstream answer(app->probe("listcolumns", IDC_KEY_LIST));
        int count = 0;
        answer >> count;
        std::vector<int> widths(count);
        for (int &width : widths)
            answer >> width;
        return widths;
    }

    void refresh() { SendMessageA(window, WM_AGENT_REFRESH, 0, 0); }

public:
    struct States {
        bool add, exportKey, passphrase, generate, lock, unlock, remove, keyText;
    };
    States states()
    {
        return States{menuEnabled(IDM_ADD_KEY),      menuEnabled(IDM_EXPORT_KEY), enabled(IDC_AGENT_PASSPHRASE),
                      enabled(IDC_GENERATE_KEY),     enabled(IDC_LOCK_AGENT),     enabled(IDC_UNLOCK_AGENT),
                      enabled(IDC_REMOVE_KEY),       enabled(IDC_KEY_TEXT)};
    }

protected:
};

std::string describe(const KeyList::States &s)
{
    std::ostringstream text;
    text << "add " << s.add << " export " << s.exportKey << " passphrase " << s.passphrase << " generate "
         << s.generate << " lock " << s.lock << " unlock " << s.unlock << " remove " << s.remove
         << " keyText " << s.keyText;
    return text.str();
}

TEST_F(KeyList, ShowsTheAgentsKeysInItsOrderWithTypeNames)
{
    startWith("key k0|0|d0\nkey k1|1|d1\nkey k2|2|d2\nkey k3|3|d3\nkey k4|4|d4\n"
              "key k5|5|d5\nkey k6|6|d6\nkey k7|7|d7\nkey kneg|-1|dneg\n");
    std::vector<std::string> expected = {
        "k0\tEd25519\td0", "k1\tRSA\td1", "k2\tECDSA\td2",        "k3\tDSA\td3", "k4\tCertificate\td4",
        "k5\t\td5",        "k6\tSecurity key\td6", "k7\t\td7", "kneg\t\tdneg"};
    EXPECT_EQ(rows(), expected);
    std::string columns = app->probe("listcolumns", IDC_KEY_LIST);
    EXPECT_NE(columns.find("\nName\nType\nFingerprint"), std::string::npos) << columns;
    EXPECT_EQ(app->probe("liststyle", IDC_KEY_LIST), std::to_string(LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP));
    EXPECT_EQ(countCalls("freeKeyList"), 1);
    EXPECT_TRUE(called("freeKeyList 9 same-array"));
}

TEST_F(KeyList, AnEmptyKeySetIsStillHandedBackOnce)
{
    startWith("");
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(countCalls("freeKeyList"), 1);
    EXPECT_TRUE(called("freeKeyList 0 same-array"));
}

TEST_F(KeyList, AFailedListingShowsNoRowsAndHandsNothingBack)
{
    startWith(std::string(THREE_KEYS) + "getKeyList 3\n");
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(countCalls("getKeyList"), 1);
    EXPECT_EQ(countCalls("freeKeyList"), 0);
    // The agent still counts as available.
    EXPECT_TRUE(menuEnabled(IDM_ADD_KEY));
    EXPECT_TRUE(enabled(IDC_LOCK_AGENT));
}

TEST_F(KeyList, ColumnsGrowForWideContentsButKeepTheirHeaderWidth)
{
    startWith("");
    std::vector<int> empty = columnWidths();
    ASSERT_EQ(empty.size(), 3u);

    script("key " + std::string(60, 'W') + "|1|short\n");
    refresh();
    std::vector<int> wide = columnWidths();
    EXPECT_GT(wide[0], empty[0]);

    script("key k|1|d\n");
    refresh();
    EXPECT_EQ(columnWidths(), empty);
}

TEST_F(KeyList, EachColumnFitsItsWidestTextWhicheverRowHoldsIt)
{
    const std::string wideName(16, 'W'), wideDetail(64, 'W');
    startWith("key " + wideName + "|4|" + wideDetail + "\n");
    std::vector<int> fitted = columnWidths();

    // The widest texts in three different rows, none of them first or last,
    // and narrow texts with more characters around them.
    script("key " + std::string(30, 'i') + "|1|" + std::string(90, 'l') + "\n" +
           "key " + wideName + "|3|d\n" +
           "key k|4|d\n" +
           "key k|1|" + wideDetail + "\n" +
           "key " + std::string(30, 'i') + "|3|" + std::string(90, 'l') + "\n");
    refresh();
    EXPECT_EQ(columnWidths(), fitted);
}

TEST_F(KeyList, UnavailableAgentShowsNothingAndOffersNothing)
{
    startWith(std::string(THREE_KEYS) + "available 0\n");
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(countCalls("getKeyList"), 0);
    EXPECT_EQ(countCalls("isLocked"), 0);
    States s = states();
    EXPECT_FALSE(s.add || s.exportKey || s.passphrase || s.generate || s.lock || s.unlock || s.remove || s.keyText)
        << describe(s);
}

TEST_F(KeyList, CommandStatesFollowLockAndSelection)
{
    startWith(THREE_KEYS);
    States s = states();
    EXPECT_TRUE(s.add && s.passphrase && s.generate && s.lock) << describe(s);
    EXPECT_FALSE(s.unlock || s.exportKey || s.remove || s.keyText) << describe(s);

    clickRow(1);
    EXPECT_EQ(app->probe("listselection", IDC_KEY_LIST), "1 ");
    s = states();
    EXPECT_TRUE(s.exportKey && s.remove && s.keyText) << describe(s);

    // Locked with a selection: only export, unlock and the passphrase remain.
    script(std::string(THREE_KEYS) + "locked 1\n");
    clickRow(1);
    s = states();
    EXPECT_TRUE(s.exportKey && s.unlock && s.passphrase) << describe(s);
    EXPECT_FALSE(s.add || s.generate || s.lock || s.remove || s.keyText) << describe(s);
}

TEST_F(KeyList, KeyboardSelectionWaitsForTheNextClickOrRefresh)
{
    startWith(THREE_KEYS);
    clickRow(0);
    ASSERT_TRUE(enabled(IDC_REMOVE_KEY));

    EXPECT_EQ(app->probe("listselect", IDC_KEY_LIST, ""), "");
    settle();
    EXPECT_TRUE(enabled(IDC_REMOVE_KEY)) << "re-evaluated without a click";
    refresh();
    EXPECT_FALSE(enabled(IDC_REMOVE_KEY));

    app->probe("listselect", IDC_KEY_LIST, "2");
    pressKey(VK_DOWN);
    settle();
    EXPECT_FALSE(enabled(IDC_REMOVE_KEY)) << "re-evaluated without a click";
}

TEST_F(KeyList, SeveralSelectedRowsCountAsASelection)
{
    startWith(THREE_KEYS);
    clickRow(0);
    clickRow(2, false, VK_SHIFT);
    // Wine now and then delivers the click before it sees Shift held down.
    // The rows are then selected as the list would have, and the list's
    // own click notification follows, as after the click.
    if (app->probe("listselection", IDC_KEY_LIST) != "0 1 2 ") {
        ASSERT_EQ(app->probe("listselect", IDC_KEY_LIST, "0 1 2"), "0 1 2 ");
        app->probe("listnotifyclick", IDC_KEY_LIST);
    }
    EXPECT_EQ(app->probe("listselection", IDC_KEY_LIST), "0 1 2 ");
    States s = states();
    EXPECT_TRUE(s.exportKey && s.remove && s.keyText) << describe(s);
}

TEST_F(KeyList, AClickOnEmptySpaceClearsTheSelectionCommands)
{
    startWith(THREE_KEYS);
    clickRow(0);
    ASSERT_TRUE(enabled(IDC_REMOVE_KEY));
    clickBelowRows();
    EXPECT_EQ(app->probe("listselection", IDC_KEY_LIST), "");
    States s = states();
    EXPECT_FALSE(s.exportKey || s.remove || s.keyText) << describe(s);
}

TEST_F(KeyList, ADoubleClickIsJustAClick)
{
    startWith(THREE_KEYS);
    clickRow(2, true);
    EXPECT_TRUE(enabled(IDC_REMOVE_KEY));
    EXPECT_TRUE(app->isRunning());
    EXPECT_FALSE(app->hasOtherTopLevelWindow());
    EXPECT_EQ(countCalls("removeKey"), 0);
}

TEST_F(KeyList, ARefreshWaitsWhileTheKeySetIsBeingChanged)
{
    startWith(THREE_KEYS);
    HANDLE event = OpenEventA(EVENT_ALL_ACCESS, FALSE, AGENT_REFRESH_EVENT);
    ASSERT_NE(event, (HANDLE)NULL);
    ResetEvent(event);
    int listings = countCalls("getKeyList");

    script("key only|1|one\n");
    PostMessageA(window, WM_AGENT_REFRESH, 0, 0);
    settle(500);
    EXPECT_EQ(countCalls("getKeyList"), listings) << "refreshed while the event was reset";

    SetEvent(event);
    settle(500);
    EXPECT_EQ(countCalls("getKeyList"), listings + 1);
    EXPECT_EQ(rows(), std::vector<std::string>{"only\tRSA\tone"});
    CloseHandle(event);
}

TEST_F(KeyList, ManyKeysAreListedCompletely)
{
    startWith("generatedKeys 2000\n");
    std::vector<std::string> all = rows();
    ASSERT_EQ(all.size(), 2000u);
    EXPECT_EQ(all.front().substr(0, 9), "key00001\t");
    EXPECT_EQ(all.back().substr(0, 9), "key02000\t");
}

} // namespace
