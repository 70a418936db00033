// The UI language as the installer-support library reports it: when the
// library is asked, what is kept, and what the user sees when it is missing.
// LoadLibraryA("zelmsi13.dll") finds whichever double the test's DLL folder
// holds, since the test program's own folder has none.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "InProcessSupport.h"
#include "MessageBoxWatcher.h"
#include "UiLanguage.h"

using namespace inprocess;

namespace {

const char *const LANGUAGE_QUERY = "getFileLocale {EAE54A96-DACA-4727-B0E9-6ACF6B522301} 0 0 0 0 0";

class UiLanguageQuery : public ::testing::Test {
protected:
    void SetUp() override
    {
        doubles = folderFromEnvironment("GAGENT_TEST_DOUBLES");
        std::string scratch = folderFromEnvironment("GAGENT_TEST_SCRATCH");
        ASSERT_FALSE(doubles.empty()) << "GAGENT_TEST_DOUBLES";
        ASSERT_FALSE(scratch.empty()) << "GAGENT_TEST_SCRATCH";
        CreateDirectoryA(scratch.c_str(), NULL);
        emptyFolder = scratch + "\\no-library";
        CreateDirectoryA(emptyFolder.c_str(), NULL);

        logPath = scratch + "\\" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
        DeleteFileA(logPath.c_str());
        SetEnvironmentVariableA("GAGENT_TEST_LOG", logPath.c_str());
        cachedUiLanguage = 0;
    }

    void TearDown() override
    {
        SetDllDirectoryA(NULL);
        SetEnvironmentVariableA("GAGENT_TEST_LOG", NULL);
        SetEnvironmentVariableA("GAGENT_TEST_LANGUAGE", NULL);
        cachedUiLanguage = 0;
    }

    void useLibrary(const char *variant) { SetDllDirectoryA((doubles + "\\" + variant).c_str()); }
    void useNoLibrary() { SetDllDirectoryA(emptyFolder.c_str()); }
    void answer(const char *language) { SetEnvironmentVariableA("GAGENT_TEST_LANGUAGE", language); }

    std::vector<std::string> queries() const
    {
        std::vector<std::string> lines;
        std::ifstream log(logPath);
        std::string line;
        while (std::getline(log, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }

    static bool libraryLoaded() { return GetModuleHandleA("zelmsi13.dll") != NULL; }

    std::string doubles;
    std::string emptyFolder;
    std::string logPath;
};

TEST_F(UiLanguageQuery, ZeroAnswerIsNotKeptSoEachCallAsksAgain)
{
    useLibrary("zelmsi13");
    answer("0");

    EXPECT_EQ(getUiLanguage(), 0);
    EXPECT_FALSE(libraryLoaded()) << "library kept loaded after the query";
    EXPECT_EQ(getUiLanguage(), 0);

    EXPECT_EQ(queries(), (std::vector<std::string>{LANGUAGE_QUERY, LANGUAGE_QUERY}));
}

TEST_F(UiLanguageQuery, NonzeroAnswerIsKeptAndTheLibraryAskedOnce)
{
    useLibrary("zelmsi13");
    answer("4");

    EXPECT_EQ(getUiLanguage(), 4);
    EXPECT_FALSE(libraryLoaded()) << "library kept loaded after the query";
    answer("8");
    EXPECT_EQ(getUiLanguage(), 4);

    EXPECT_EQ(queries(), std::vector<std::string>{LANGUAGE_QUERY});
    EXPECT_EQ(cachedUiLanguage, 4);
}

TEST_F(UiLanguageQuery, NegativeAnswerCountsAsKnown)
{
    useLibrary("zelmsi13");
    answer("-1");

    EXPECT_EQ(getUiLanguage(), -1);
    EXPECT_EQ(getUiLanguage(), -1);

    EXPECT_EQ(queries(), std::vector<std::string>{LANGUAGE_QUERY});
}

TEST_F(UiLanguageQuery, MissingExportAnswersZeroSilentlyAndIsNotKept)
{
    useLibrary("zelmsi13-without-locale");
    MessageBoxWatcher watcher;

    EXPECT_EQ(getUiLanguage(), 0);

    EXPECT_TRUE(watcher.stop().empty()) << "missing export told to the user";
    EXPECT_FALSE(libraryLoaded()) << "library kept loaded after the failed lookup";

    // Once a library with the export is there, the next call asks it.
    useLibrary("zelmsi13");
    answer("2");
    EXPECT_EQ(getUiLanguage(), 2);
    EXPECT_EQ(queries(), std::vector<std::string>{LANGUAGE_QUERY});
}

TEST_F(UiLanguageQuery, MissingLibraryIsToldOnEveryCallAndAnswersZero)
{
    useNoLibrary();
    MessageBoxWatcher watcher;

    EXPECT_EQ(getUiLanguage(), 0);
    EXPECT_EQ(getUiLanguage(), 0);

    std::vector<SeenMessageBox> boxes = watcher.stop();
    ASSERT_EQ(boxes.size(), 2u);
    for (const SeenMessageBox &box : boxes) {
        EXPECT_EQ(box.text, "Failed to load zelmsi13.dll");
        EXPECT_EQ(box.caption, "Error"); // the system's caption for none given
        EXPECT_EQ(box.owner, (HWND)NULL);
        EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
        EXPECT_EQ(box.icon, (HICON)NULL);
    }
    EXPECT_TRUE(queries().empty());
    EXPECT_EQ(cachedUiLanguage, 0);
}

TEST(LanguageFolder, KnownLanguagesHaveTheirLocaleAndEverythingElseIsEnglish)
{
    struct Case {
        UiLanguage language;
        const char *folder;
    } cases[] = {{2, "1036"}, {4, "1031"}, {8, "1041"}, {16, "1033"}, {1, "1033"}, {0, "1033"}, {-1, "1033"}};
    for (const Case &c : cases)
        EXPECT_STREQ(languageFolder(c.language), c.folder) << "language " << c.language;
}

} // namespace
