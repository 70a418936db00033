// The about box and the version lookups under it, in-process, against
// fixture modules whose version texts sit at the 32-byte limit.
#include <gtest/gtest.h>

#include "AboutDialog.h"
#include "CommandSupport.h"
#include "KeyManagerDialog.h"
#include "ModuleVersion.h"
#include "VersionFixture.h"
#include "resource.h"

using namespace commands;

namespace {

const char *const ABOUT_DIALOG = "About Glimmerpad Key Manager";

HMODULE versionFixture(const char *name)
{
    char folder[MAX_PATH] = "";
    GetEnvironmentVariableA("GAGENT_TEST_FIXTURES", folder, sizeof folder);
    return LoadLibraryA((std::string(folder) + "\\" + name).c_str());
}

HMODULE shortVersionModule()
{
    static HMODULE module = versionFixture("version_fixture.dll");
    return module;
}

HMODULE longVersionModule()
{
    static HMODULE module = versionFixture("version_fixture_long.dll");
    return module;
}

TEST(ModuleVersion, FirstTranslationOnlyAndNeverCut)
{
    ASSERT_NE(shortVersionModule(), (HMODULE)NULL) << "GAGENT_TEST_FIXTURES";
    ASSERT_NE(longVersionModule(), (HMODULE)NULL);
    char version[32];
    EXPECT_EQ(getProductVersion(shortVersionModule(), version, sizeof version), 1);
    EXPECT_STREQ(version, FIXTURE_VERSION_31);
    EXPECT_EQ(getFileVersion(shortVersionModule(), version, sizeof version), 1);
    EXPECT_STREQ(version, FIXTURE_VERSION_31);

    memset(version, 'x', sizeof version);
    EXPECT_EQ(getFileVersion(longVersionModule(), version, sizeof version), 0);
    EXPECT_STREQ(version, "") << "a version one character too long is shown cut";
    char roomy[64];
    EXPECT_EQ(getFileVersion(longVersionModule(), roomy, sizeof roomy), 1);
    EXPECT_STREQ(roomy, FIXTURE_VERSION_32);
}

TEST(ModuleVersion, ModulesWithoutVersionsAndNoRoomGiveNothing)
{
    char version[32];
    memset(version, 'x', sizeof version);
    // The test program has no version resource.
    EXPECT_EQ(getProductVersion(GetModuleHandleA(NULL), version, sizeof version), 0);
    EXPECT_STREQ(version, "");
    memset(version, 'x', sizeof version);
    EXPECT_EQ(getProductVersion(shortVersionModule(), version, 0), 0);
    EXPECT_EQ(version[0], 'x') << "a capacity of 0 was written to";
}

class AboutBox : public ManagerTest {
protected:
    // Opens the box, reads both lines, tries Cancel, then OK.
    std::vector<Step> showAbout(HMODULE agentLibrary)
    {
        manager->agentLibrary = agentLibrary;
        Step cancel = answer(ABOUT_DIALOG, IDCANCEL);
        cancel.staysOpen = true;
        cancel.readIds = {IDC_PRODUCT_VERSION, IDC_AGENT_VERSION};
        DialogDriver driver({cancel, answer(ABOUT_DIALOG, IDOK)});
        EXPECT_EQ(manager->onCommand(IDM_ABOUT, NULL, 0), 1);
        return driver.finish();
    }
};

TEST_F(AboutBox, ShowsBothVersionsAndClosesOnlyWithOk)
{
    ASSERT_NE(shortVersionModule(), (HMODULE)NULL);
    std::vector<Step> steps = showAbout(shortVersionModule());
    ASSERT_TRUE(steps[0].seen && steps[1].seen);
    char version[32];
    ASSERT_EQ(getProductVersion(englishModule(), version, sizeof version), 1);
    EXPECT_EQ(steps[0].readTexts[0], std::string("Version ") + version);
    EXPECT_EQ(steps[0].readTexts[1], std::string("Agent library version ") + FIXTURE_VERSION_31);
    EXPECT_EQ(steps[1].window, steps[0].window) << "Cancel closed the box";
    EXPECT_EQ(steps[0].owner, owner);
    EXPECT_FALSE(anyDialogVisible());
    EXPECT_EQ(GetActiveWindow(), owner) << "the key manager is not active after the box";
}

TEST_F(AboutBox, ATooLongOrMissingLibraryVersionLeavesTheLineEmpty)
{
    ASSERT_NE(longVersionModule(), (HMODULE)NULL);
    std::vector<Step> steps = showAbout(longVersionModule());
    ASSERT_TRUE(steps[0].seen);
    EXPECT_EQ(steps[0].readTexts[1], "Agent library version ");

    steps = showAbout(NULL);
    ASSERT_TRUE(steps[0].seen);
    EXPECT_EQ(steps[0].readTexts[1], "") << "the label shows without an agent library";
}

TEST_F(AboutBox, ALineLongerThanItsRoomIsCut)
{
    ASSERT_NE(shortVersionModule(), (HMODULE)NULL);
    AboutDialog about(shortVersionModule(), owner);
    Step shown = answer("Fixture About", IDOK);
    shown.readIds = {IDC_PRODUCT_VERSION, IDC_AGENT_VERSION};
    DialogDriver driver({shown});
    about.runModal();
    const Step &seen = driver.finish()[0];
    ASSERT_TRUE(seen.seen);
    std::string whole = std::string(FIXTURE_LONG_FORMAT).substr(0, 110) + FIXTURE_VERSION_31;
    EXPECT_EQ(seen.readTexts[0], whole.substr(0, 127));
    EXPECT_EQ(seen.readTexts[1], "");
}

} // namespace
