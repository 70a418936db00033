// Start-up as the user meets it: which language module is used, what a
// broken installation shows, and one copy per desktop.
#include <gtest/gtest.h>

#include "AppFixture.h"

using namespace e2e;

namespace {

struct LanguageCase {
    int installerAnswer;
    const char *folder;
};

class LanguageFolder : public ::testing::TestWithParam<LanguageCase> {};

TEST_P(LanguageFolder, ModuleComesFromTheFolderOfTheInstallersAnswer)
{
    // The module exists only in the folder that must be chosen: any other
    // choice ends in the load failure box instead of the window.
    Sandbox sandbox(currentTestName());
    sandbox.addProduct();
    sandbox.addInstallerDouble();
    sandbox.addLanguage(GetParam().folder);
    App app(sandbox);
    app.setEnvironment("GAGENT_TEST_LANGUAGE", std::to_string(GetParam().installerAnswer));
    ASSERT_TRUE(app.start());

    EXPECT_NE(app.waitForMainWindow(ENGLISH_TITLE), (HWND)NULL);
    EXPECT_FALSE(app.hasOtherTopLevelWindow());

    std::vector<std::string> calls = sandbox.loggedCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0], "getFileLocale {EAE54A96-DACA-4727-B0E9-6ACF6B522301} 0 0 0 0 0");
}

std::string answerName(const ::testing::TestParamInfo<LanguageCase> &answer)
{
    return "answer" + std::to_string(answer.param.installerAnswer);
}

INSTANTIATE_TEST_SUITE_P(Answers, LanguageFolder,
                         ::testing::Values(LanguageCase{2, "1036"}, LanguageCase{4, "1031"},
                                           LanguageCase{8, "1041"}, LanguageCase{16, "1033"},
                                           LanguageCase{1, "1033"}, LanguageCase{0, "1033"}),
                         answerName);

TEST(Startup, MissingResourceModuleIsNamedByFullPathOnceAndTheProgramEnds)
{
    Sandbox sandbox(currentTestName());
    sandbox.addProduct();
    sandbox.addInstallerDouble();
    App app(sandbox);
    app.setEnvironment("GAGENT_TEST_LANGUAGE", "4");
    ASSERT_TRUE(app.start());

    MessageBoxSeen box;
    ASSERT_TRUE(app.waitForMessageBox(box));
    EXPECT_EQ(box.caption, "Error");
    EXPECT_EQ(box.text, "Failed to load resource file " + sandbox.file("1031\\gagent.dll"));
    PostMessageA(box.window, WM_COMMAND, IDOK, 0);

    EXPECT_EQ(app.waitForExit(), 0u);
    // Nothing after the one box: no second box, no search for a window.
    EXPECT_EQ(sandbox.loggedCalls().size(), 1u);
}

TEST(Startup, InstallerLibraryWithoutLanguageExportSilentlyMeansEnglish)
{
    Sandbox sandbox(currentTestName());
    sandbox.addProduct();
    sandbox.addLanguage("1033");
    sandbox.addInstallerDouble("zelmsi13-without-locale");
    App app(sandbox);
    ASSERT_TRUE(app.start());

    ASSERT_NE(app.waitForMainWindow(ENGLISH_TITLE), (HWND)NULL);
    EXPECT_FALSE(app.hasOtherTopLevelWindow());
}

TEST_F(StartedApp, SecondStartRestoresTheMinimisedFirstCopyAndEnds)
{
    ShowWindow(window, SW_MINIMIZE);
    settle();
    ASSERT_TRUE(IsIconic(window));

    App second(*sandbox);
    ASSERT_TRUE(second.start());
    EXPECT_EQ(second.waitForExit(), 0u);
    settle();
    EXPECT_FALSE(IsIconic(window));
    EXPECT_TRUE(app->isRunning());
}

TEST_F(StartedApp, SecondStartBringsTheFirstCopyToTheForeground)
{
    HWND other = CreateWindowExA(0, "STATIC", "someone else's window", WS_POPUP | WS_VISIBLE, 0, 0,
                                 200, 100, NULL, NULL, NULL, NULL);
    ASSERT_TRUE(makeForeground(other));

    App second(*sandbox);
    ASSERT_TRUE(second.start());
    EXPECT_EQ(second.waitForExit(), 0u);
    settle();
    EXPECT_EQ(GetForegroundWindow(), window);
    DestroyWindow(other);
}

TEST(Startup, AnyTopLevelWindowWithTheTitleCountsAsARunningCopy)
{
    HWND impostor = CreateWindowExA(0, "STATIC", ENGLISH_TITLE, WS_POPUP, 0, 0, 10, 10, NULL, NULL,
                                    NULL, NULL);
    ASSERT_NE(impostor, (HWND)NULL);
    Sandbox sandbox(currentTestName());
    sandbox.addProduct();
    sandbox.addLanguage("1033");
    sandbox.addInstallerDouble();
    App app(sandbox);
    ASSERT_TRUE(app.start());

    EXPECT_EQ(app.waitForExit(), 0u);
    EXPECT_FALSE(app.hasOtherTopLevelWindow());
    DestroyWindow(impostor);
}

} // namespace

namespace {

// U+8868 is the two bytes 0x95 0x5C in code page 932: its second byte is a
// backslash when read one byte at a time.
const wchar_t TRAIL_BYTE_BACKSLASH_CHARACTER[] = L"\u8868";

bool copyWide(const std::string &from, const std::wstring &to)
{
    return CopyFileW(widen(from).c_str(), to.c_str(), FALSE) != FALSE;
}

TEST(Startup, ExecutableNameWithATrailByteBackslashInCodePage932KeepsItsRealFolder)
{
    // Wine takes a program's code page from the locale it was started in,
    // and a child inherits it: CTest runs this test under a Japanese locale.
    if (GetACP() != 932)
        GTEST_SKIP() << "needs code page 932 (LC_ALL=ja_JP.UTF-8)";
    // Named so that the last 0x5C byte of the whole path is the trail byte:
    // a byte-wise scan would look for the module in "<folder>\x95\1033\".
    Sandbox sandbox(currentTestName());
    std::wstring folder = widen(sandbox.path()) + L"\\" + TRAIL_BYTE_BACKSLASH_CHARACTER;
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\1033").c_str(), NULL));
    std::wstring executable = folder + L"\\" + TRAIL_BYTE_BACKSLASH_CHARACTER + L".exe";
    ASSERT_TRUE(copyWide(stageDirectory() + "\\gagent.exe", executable));
    ASSERT_TRUE(copyWide(stageDirectory() + "\\1033\\gagent.dll", folder + L"\\1033\\gagent.dll"));
    ASSERT_TRUE(copyWide(testProgramDirectory() + "\\doubles\\zelmsi13\\zelmsi13.dll",
                         folder + L"\\zelmsi13.dll"));

    App app(sandbox);
    ASSERT_TRUE(app.startFrom(executable));

    EXPECT_NE(app.waitForMainWindow(ENGLISH_TITLE), (HWND)NULL);
    MessageBoxSeen box;
    EXPECT_FALSE(app.waitForMessageBox(box, 0)) << box.text;
}

} // namespace
