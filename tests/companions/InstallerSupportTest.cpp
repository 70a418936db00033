// The installer-support library as shipped, called the way the program
// calls it: by its decorated export names and by ordinal 12.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "InstallerSupport.h"

namespace {

const char PRODUCT_KEY[] = "SOFTWARE\\VAQGlimmerpad";

std::string stageLibrary()
{
    char stage[MAX_PATH] = "";
    GetEnvironmentVariableA("GAGENT_STAGE", stage, sizeof stage);
    return std::string(stage) + "\\zelmsi13.dll";
}

// Sets HKCU\SOFTWARE\VAQGlimmerpad "Language" for one test and removes it after.
class RecordedLanguage {
public:
    explicit RecordedLanguage(const char *value)
    {
        RegCreateKeyExA(HKEY_CURRENT_USER, PRODUCT_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
        RegSetValueExA(key, "Language", 0, REG_SZ, reinterpret_cast<const BYTE *>(value), lstrlenA(value) + 1);
    }
    ~RecordedLanguage()
    {
        RegDeleteValueA(key, "Language");
        RegCloseKey(key);
    }

private:
    HKEY key;
};

class InstallerSupport : public ::testing::Test {
protected:
    void SetUp() override
    {
        library = LoadLibraryA(stageLibrary().c_str());
        ASSERT_NE(library, (HMODULE)NULL) << stageLibrary();
        getFileLocale = reinterpret_cast<GetFileLocaleFunction>(
            reinterpret_cast<void *>(GetProcAddress(library, GET_FILE_LOCALE_EXPORT)));
        expandFolder = reinterpret_cast<ExpandFolderFunction>(
            reinterpret_cast<void *>(GetProcAddress(library, EXPAND_FOLDER_EXPORT)));
        ASSERT_NE(getFileLocale, nullptr);
        ASSERT_NE(expandFolder, nullptr);
    }
    void TearDown() override { FreeLibrary(library); }

    int localeOfProduct() { return getFileLocale(PRODUCT_CODE, 0, 0, 0, 0, 0); }

    HMODULE library = NULL;
    GetFileLocaleFunction getFileLocale = nullptr;
    ExpandFolderFunction expandFolder = nullptr;
};

TEST_F(InstallerSupport, LanguageRecordedByTheInstallerIsAnsweredByItsCode)
{
    {
        RecordedLanguage german("1031");
        EXPECT_EQ(localeOfProduct(), 4);
    }
    {
        RecordedLanguage french("1036");
        EXPECT_EQ(localeOfProduct(), 2);
    }
    {
        RecordedLanguage japanese("1041");
        EXPECT_EQ(localeOfProduct(), 8);
    }
    {
        RecordedLanguage english("1033");
        EXPECT_EQ(localeOfProduct(), 1);
    }
}

TEST_F(InstallerSupport, WithoutARecordTheUsersWindowsLanguageDecidesAndIsNeverZero)
{
    int answer = localeOfProduct();
    EXPECT_NE(answer, 0) << "0 would make the program ask again on every start-up step";
    if (PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_ENGLISH) {
        EXPECT_EQ(answer, 1);
    }
}

TEST_F(InstallerSupport, AnotherProductIsNotAnswered)
{
    RecordedLanguage german("1031");
    EXPECT_EQ(getFileLocale("{00000000-0000-0000-0000-000000000000}", 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(getFileLocale(NULL, 0, 0, 0, 0, 0), 0);
}

TEST_F(InstallerSupport, ExpandsEnvironmentReferencesWithinTheCapacity)
{
    SetEnvironmentVariableA("GAGENT_TEST_FOLDER", "C:\\Users\\keys");
    char folder[MAX_PATH];
    ASSERT_EQ(expandFolder("%GAGENT_TEST_FOLDER%\\agent", folder, MAX_PATH), 0);
    EXPECT_STREQ(folder, "C:\\Users\\keys\\agent");

    // Exactly filling the room works; one character more is refused, and a
    // refused expansion leaves no partial path behind.
    char small[8];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(expandFolder("C:\\abcd", small, sizeof small), 0);
    EXPECT_STREQ(small, "C:\\abcd");
    std::memset(small, 'x', sizeof small);
    EXPECT_NE(expandFolder("C:\\abcde", small, sizeof small), 0);
    EXPECT_EQ(small[0], '\0');
    EXPECT_NE(expandFolder(NULL, folder, MAX_PATH), 0);
    EXPECT_NE(expandFolder("C:\\", folder, 0), 0);
}

TEST_F(InstallerSupport, RepairIsReachedByOrdinalTwelveOnly)
{
    EXPECT_NE(GetProcAddress(library, MAKEINTRESOURCEA(12)), nullptr);
    EXPECT_EQ(GetProcAddress(library, "ZELMSIrepairProduct"), nullptr);
    // Called for another product it starts nothing and says so.
    typedef int(WINAPI * RepairFunction)(const char *, int);
    RepairFunction repair = reinterpret_cast<RepairFunction>(
        reinterpret_cast<void *>(GetProcAddress(library, MAKEINTRESOURCEA(12))));
    EXPECT_EQ(repair("{00000000-0000-0000-0000-000000000000}", 0), 0);
}

} // namespace
