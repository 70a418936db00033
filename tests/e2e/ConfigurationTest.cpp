// Where the key manager finds the agent settings file and the agent log:
// the folder values in the registry (the user's before the machine's), the
// installer library's expansion of them, the file's contents as the policy
// check marks show them, and what the shell is asked to open.
#include <gtest/gtest.h>

#include <map>

#include "AppFixture.h"
#include "LocalSetup.h"
#include "resource.h"

using namespace e2e;

namespace {

// ----------------------------------------------------------- check marks

// The three policy check marks: ConfirmKeyOp, AllowAdd, AllowDelete.
struct Marks {
    bool confirm, add, remove;
    bool operator==(const Marks &other) const
    {
        return confirm == other.confirm && add == other.add && remove == other.remove;
    }
};

const Marks DEFAULT_MARKS = {false, true, true};

std::ostream &operator<<(std::ostream &out, const Marks &marks)
{
    return out << "{confirm " << marks.confirm << ", add " << marks.add << ", delete " << marks.remove << "}";
}

// A settings file whose pairs move the flags to `marks`; the values that
// stay at their defaults get a pair that matches nothing.
std::string settingsFor(const Marks &marks)
{
    return std::string("settings for ") + (marks.confirm ? "1" : "0") + (marks.add ? "1" : "0") +
           (marks.remove ? "1" : "0") + "\n" + (marks.confirm ? "ConfirmKeyOp yes" : "unused pair") + "\n" +
           (marks.add ? "unused pair" : "AllowAdd no") + "\n" + (marks.remove ? "unused pair" : "AllowDelete no") +
           "\n";
}

// The program with the recording agent library, started in its sandbox
// with the test's registry values in place.
class Configuration : public AgentApp {
protected:
    void SetUp() override
    {
        AgentApp::SetUp();
        registry.reset(new SavedFolderValues);
    }

    void TearDown() override
    {
        if (app)
            app->kill();
        registry.reset();
    }

    void setFolderValue(HKEY root, const char *name, const std::string &value)
    {
        ASSERT_TRUE(setStringValue(root, PRODUCT_KEY, name, value)) << name << " " << value;
    }

    // Places a settings file in the key folder below `folder`.
    void settingsBelow(const std::string &folder, const Marks &marks)
    {
        writeFile(folder + ".ssh\\gAgent", settingsFor(marks));
    }

    void launch(bool withAgentLibrary = true)
    {
        if (withAgentLibrary)
            sandbox->addFile(testProgramDirectory() + "\\doubles\\openssh\\OPENSSH.DLL", "OPENSSH.DLL");
        app.reset(new App(*sandbox));
        app->setEnvironment("GAGENT_TEST_AGENT_SCRIPT", sandbox->file("agent.script"));
        for (const auto &setting : environment)
            app->setEnvironment(setting.first, setting.second);
        ASSERT_TRUE(app->start());
        ASSERT_NE(waitForWindow(), (HWND)NULL);
    }

    Marks marks()
    {
        return Marks{(app->menuState(IDM_CONFIRM_KEY_OP) & MF_CHECKED) != 0,
                     (app->menuState(IDM_ALLOW_ADD) & MF_CHECKED) != 0,
                     (app->menuState(IDM_ALLOW_DELETE) & MF_CHECKED) != 0};
    }

    // The installer library's expansions, in order.
    std::vector<std::string> expansions() const { return callsStartingWith("expandFolder "); }

    std::map<std::string, std::string> environment;
    std::unique_ptr<SavedFolderValues> registry;
};

// ------------------------------------------------------ the folder lookup

// Each place the settings file may come from holds one with its own marks.
const Marks USER_MARKS = {false, true, false};
const Marks MACHINE_MARKS = {false, false, true};
const Marks CURRENT_FOLDER_MARKS = {true, true, true};
const Marks WRONG_PLACE_MARKS = {true, false, false};

class FolderLookup : public Configuration {
protected:
    void SetUp() override
    {
        Configuration::SetUp();
        userFolder = sandbox->file("user-home\\");
        machineFolder = sandbox->file("machine-home\\");
        settingsBelow(userFolder, USER_MARKS);
        settingsBelow(machineFolder, MACHINE_MARKS);
        writeFile(sandbox->file("gAgent"), settingsFor(CURRENT_FOLDER_MARKS));
    }

    // A value of `length` characters that the installer library expands to
    // the user's folder: an environment reference with a long name.
    std::string longReferenceToUserFolder(size_t length)
    {
        std::string name = "GAGENT_TEST_FOLDER_" + std::string(length - 2 - 19, 'X');
        environment[name] = userFolder;
        return "%" + name + "%";
    }

    std::string userFolder, machineFolder;
};

TEST_F(FolderLookup, MachineValueServesWhenTheUserHasNone)
{
    // The user's key exists, with the other folder value only.
    setFolderValue(HKEY_CURRENT_USER, "LogDir", sandbox->file("logs"));
    setFolderValue(HKEY_LOCAL_MACHINE, "UserDir", machineFolder);
    launch();
    EXPECT_EQ(marks(), MACHINE_MARKS);
    EXPECT_EQ(expansions(), std::vector<std::string>{"expandFolder " + machineFolder + " 260"});
}

TEST_F(FolderLookup, UserValueComesBeforeTheMachineValue)
{
    setFolderValue(HKEY_CURRENT_USER, "UserDir", userFolder);
    setFolderValue(HKEY_LOCAL_MACHINE, "UserDir", machineFolder);
    launch();
    EXPECT_EQ(marks(), USER_MARKS);
    EXPECT_EQ(expansions(), std::vector<std::string>{"expandFolder " + userFolder + " 260"});
}

// The value is read into 260 bytes: 259 characters and the terminator fit,
// one more and the machine's value serves.
class LongUserValue : public FolderLookup, public ::testing::WithParamInterface<size_t> {};

TEST_P(LongUserValue, ServesOnlyWhenItFitsTheBufferWithItsTerminator)
{
    std::string reference = longReferenceToUserFolder(GetParam());
    setFolderValue(HKEY_CURRENT_USER, "UserDir", reference);
    setFolderValue(HKEY_LOCAL_MACHINE, "UserDir", machineFolder);
    launch();
    bool fits = GetParam() < 260;
    EXPECT_EQ(marks(), fits ? USER_MARKS : MACHINE_MARKS);
    EXPECT_EQ(expansions(), std::vector<std::string>{"expandFolder " + (fits ? reference : machineFolder) + " 260"});
}

std::string lengthName(const ::testing::TestParamInfo<size_t> &c)
{
    return "Chars" + std::to_string(c.param);
}

INSTANTIATE_TEST_SUITE_P(Lengths, LongUserValue, ::testing::Values(259, 260), lengthName);

// A folder that ends in a separator already gets no second one. Made so
// long that the settings file's path takes all 259 characters: one more
// character and the file's path no longer fits, and no file is read.
class SeparatorAtTheEnd : public FolderLookup, public ::testing::WithParamInterface<char> {};

TEST_P(SeparatorAtTheEnd, IsKeptAndNoOtherIsAdded)
{
    const std::string keyFile = ".ssh\\gAgent";
    long padding = 259 - static_cast<long>(keyFile.size() + sandbox->path().size()) - 2;
    ASSERT_TRUE(padding > 0 && padding < 256) << "no room below " << sandbox->path();
    std::string folder = sandbox->path() + "\\" + std::string(static_cast<size_t>(padding), 'p');
    settingsBelow(folder + "\\", USER_MARKS);
    std::string value = folder + GetParam();
    ASSERT_EQ(value.size() + keyFile.size(), 259u);
    setFolderValue(HKEY_CURRENT_USER, "UserDir", value);
    launch();
    EXPECT_EQ(marks(), USER_MARKS);
}

std::string separatorName(const ::testing::TestParamInfo<char> &c)
{
    return c.param == '/' ? "Slash" : "Backslash";
}

INSTANTIATE_TEST_SUITE_P(Separators, SeparatorAtTheEnd, ::testing::Values('\\', '/'), separatorName);

TEST_F(FolderLookup, FolderWithoutSeparatorGetsABackslash)
{
    std::string folder = sandbox->file("plain");
    settingsBelow(folder + "\\", USER_MARKS);
    // Where the key folder would be with nothing added.
    writeFile(folder + ".ssh\\gAgent", settingsFor(WRONG_PLACE_MARKS));
    setFolderValue(HKEY_CURRENT_USER, "UserDir", folder);
    launch();
    EXPECT_EQ(marks(), USER_MARKS);
}

TEST_F(FolderLookup, WithoutAnyValueTheFileComesFromTheCurrentFolder)
{
    launch();
    EXPECT_EQ(marks(), CURRENT_FOLDER_MARKS);
    EXPECT_TRUE(expansions().empty());
}

TEST_F(FolderLookup, FailedExpansionCountsAsNoValueAndTheMachineIsNotAsked)
{
    setFolderValue(HKEY_CURRENT_USER, "UserDir", userFolder);
    setFolderValue(HKEY_LOCAL_MACHINE, "UserDir", machineFolder);
    environment["GAGENT_TEST_EXPAND_STATUS"] = "2";
    launch();
    EXPECT_EQ(marks(), CURRENT_FOLDER_MARKS);
    EXPECT_EQ(expansions(), std::vector<std::string>{"expandFolder " + userFolder + " 260"});
}

TEST_F(FolderLookup, EmptyExpansionCountsAsNoValue)
{
    // Read as "\" plus the key folder, this would be the drive's root.
    setFolderValue(HKEY_CURRENT_USER, "UserDir", "");
    setFolderValue(HKEY_LOCAL_MACHINE, "UserDir", machineFolder);
    launch();
    EXPECT_EQ(marks(), CURRENT_FOLDER_MARKS);
    EXPECT_EQ(expansions(), std::vector<std::string>{"expandFolder  260"});
}

TEST_F(FolderLookup, SettingsAreReadOnceAtStart)
{
    setFolderValue(HKEY_CURRENT_USER, "UserDir", userFolder);
    launch();
    ASSERT_EQ(marks(), USER_MARKS);
    settingsBelow(userFolder, WRONG_PLACE_MARKS);
    int listings = countCalls("getKeyList");
    PostMessageA(window, WM_USER + 4, 0, 0); // the agent side's refresh announcement
    settle(300);
    ASSERT_EQ(countCalls("getKeyList"), listings + 1);
    EXPECT_EQ(marks(), USER_MARKS);
    EXPECT_EQ(expansions().size(), 1u);
}

TEST_F(FolderLookup, SettingsAreNotReadWithoutTheAgentLibrary)
{
    setFolderValue(HKEY_CURRENT_USER, "UserDir", userFolder);
    launch(false);
    EXPECT_EQ(marks(), DEFAULT_MARKS);
    EXPECT_TRUE(expansions().empty());
}

TEST_F(FolderLookup, FolderEndingInATrailByteBackslashGetsASeparatorInCodePage932)
{
    // Wine takes a program's code page from the locale it was started in,
    // and a child inherits it: CTest runs this test under a Japanese locale.
    if (GetACP() != 932)
        GTEST_SKIP() << "needs code page 932 (LC_ALL=ja_JP.UTF-8)";
    // U+8868 is 0x95 0x5C in code page 932: its last byte is a backslash.
    const std::wstring character = L"\x8868";
    char bytes[8] = "";
    WideCharToMultiByte(932, 0, character.c_str(), -1, bytes, sizeof bytes, NULL, NULL);
    ASSERT_EQ(std::string(bytes), "\x95\x5C");
    std::wstring folder = widen(sandbox->path()) + L"\\" + character;
    // The folder as it is meant, and the one a byte-wise look would take.
    for (const std::wstring &keyFolder : {folder + L"\\.ssh", folder + L".ssh"}) {
        CreateDirectoryW(folder.c_str(), NULL);
        ASSERT_TRUE(CreateDirectoryW(keyFolder.c_str(), NULL));
        std::string contents = settingsFor(keyFolder == folder + L"\\.ssh" ? USER_MARKS : WRONG_PLACE_MARKS);
        HANDLE file = CreateFileW((keyFolder + L"\\gAgent").c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written;
        WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, NULL);
        CloseHandle(file);
    }
    setFolderValue(HKEY_CURRENT_USER, "UserDir", sandbox->path() + "\\" + bytes);
    launch();
    EXPECT_EQ(marks(), USER_MARKS);
}

// ------------------------------------------------------ the file's contents

struct ContentsCase {
    const char *name;
    std::string contents;
    Marks expected;
};

class SettingsFile : public Configuration, public ::testing::WithParamInterface<ContentsCase> {};

TEST_P(SettingsFile, MovesOnlyThePoliciesItsPairsNameInTheirPlaces)
{
    writeFile(sandbox->file("gAgent"), GetParam().contents);
    launch();
    EXPECT_EQ(marks(), GetParam().expected);
}

std::string contentsName(const ::testing::TestParamInfo<ContentsCase> &c)
{
    return c.param.name;
}

const Marks ALL_MOVED = {true, false, false};

INSTANTIATE_TEST_SUITE_P(
    Contents, SettingsFile,
    ::testing::Values(
        ContentsCase{"Empty", "", DEFAULT_MARKS},
        ContentsCase{"FirstLineOnly", "ConfirmKeyOp yes AllowAdd no AllowDelete no\n", DEFAULT_MARKS},
        ContentsCase{"AllThree", "# agent settings\nConfirmKeyOp yes\nAllowAdd no\nAllowDelete no\n", ALL_MOVED},
        ContentsCase{"SecondPairOnly", "#\nConfirmKeyOp no\nAllowAdd no\nAllowDelete yes\n", {false, false, true}},
        ContentsCase{"ThirdPairOnly", "#\nConfirmKeyOp no\nAllowAdd yes\nAllowDelete no\n", {false, true, false}},
        ContentsCase{"OtherLetterCases", "#\r\nconfirmKEYOP YES\r\nALLOWADD nO\r\nallowdelete No\r\n", ALL_MOVED},
        ContentsCase{"OtherValues", "#\nConfirmKeyOp true\nAllowAdd 0\nAllowDelete off\n", DEFAULT_MARKS},
        ContentsCase{"ValuesLongerOrShorter", "#\nConfirmKeyOp yess\nAllowAdd n\nAllowDelete no.\n", DEFAULT_MARKS},
        ContentsCase{"NamesLongerOrShorter", "#\nConfirmKeyOps yes\nAllowAd no\nXAllowDelete no\n", DEFAULT_MARKS},
        ContentsCase{"PairsOutOfOrder", "#\nAllowDelete no\nConfirmKeyOp yes\nAllowAdd no\n", DEFAULT_MARKS},
        ContentsCase{"LastTwoSwapped", "#\nConfirmKeyOp yes\nAllowDelete no\nAllowAdd no\n", {true, true, true}},
        // The agent keeps its own notice setting as a fourth pair.
        ContentsCase{"AsTheAgentWritesItWithItsNotice",
                     "Glimmerpad key agent policies, kept by the agent (changes apply at its next start)\n"
                     "ConfirmKeyOp yes\nAllowAdd no\nAllowDelete no\nNotifyKeyUse yes\n",
                     ALL_MOVED},
        ContentsCase{"TheAgentsNoticeOnly", "#\nConfirmKeyOp no\nAllowAdd yes\nAllowDelete yes\nNotifyKeyUse yes\n",
                     DEFAULT_MARKS},
        ContentsCase{"PairsAcrossLines", "#\nConfirmKeyOp\nyes AllowAdd\n\n\tno\nAllowDelete\r\n   no", ALL_MOVED},
        // 259 characters are skipped; the rest of the line is read as pairs.
        ContentsCase{"OverlongFirstLine",
                     std::string(259, '#') + "ConfirmKeyOp yes AllowAdd no AllowDelete no\n", ALL_MOVED},
        ContentsCase{"EndsAfterTheFirstPair", "#\nConfirmKeyOp yes", {true, true, true}},
        ContentsCase{"EndsAfterTheSecondPair", "#\nConfirmKeyOp yes\nAllowAdd no", {true, false, true}},
        // Overlong tokens match nothing and leave the pairs after them in place.
        ContentsCase{"OverlongName", "#\n" + std::string(300, 'N') + " yes\nAllowAdd no\nAllowDelete no\n",
                     {false, false, false}},
        ContentsCase{"OverlongValue", "#\nConfirmKeyOp yes" + std::string(37, 's') + "\nAllowAdd no\nAllowDelete no\n",
                     {false, false, false}}),
    contentsName);

// ------------------------------------------------------------ the agent log

const char LOG_CLASS[] = "GlimmerpadTest.AgentLog";

// The shell's "open" of a ".txt" file, pointed at the recorder for the
// test. Wine 8 takes file associations from HKEY_CLASSES_ROOT (the
// machine's classes) and does not consult the user's Software\Classes.
class TextFileAssociation {
public:
    explicit TextFileAssociation(const std::string &recorderLog)
    {
        forgetLeftover();
        extension.reset(new SavedValue(HKEY_CLASSES_ROOT, ".txt", ""));
        std::string command = "\"" + testProgramDirectory() + "\\open_recorder.exe\" \"" + recorderLog + "\" \"%1\"";
        ready = setStringValue(HKEY_CLASSES_ROOT, ".txt", "", LOG_CLASS) &&
                setStringValue(HKEY_CLASSES_ROOT, std::string(LOG_CLASS) + "\\shell\\open\\command", "", command);
    }

    ~TextFileAssociation()
    {
        extension.reset();
        deleteKeyTree(HKEY_CLASSES_ROOT, LOG_CLASS);
    }

    bool ready;

private:
    // A test process that was killed could not put the association back;
    // what it left is not what the prefix had before.
    static void forgetLeftover()
    {
        char value[64] = "";
        LONG size = sizeof value;
        if (RegQueryValueA(HKEY_CLASSES_ROOT, ".txt", value, &size) != ERROR_SUCCESS || std::string(value) != LOG_CLASS)
            return;
        HKEY key;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, ".txt", 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
            return;
        RegDeleteValueA(key, NULL);
        DWORD subkeys = 1, values = 1;
        RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL);
        RegCloseKey(key);
        if (subkeys == 0 && values == 0)
            RegDeleteKeyA(HKEY_CLASSES_ROOT, ".txt");
    }

    std::unique_ptr<SavedValue> extension;
};

class AgentLog : public Configuration {
protected:
    void SetUp() override
    {
        Configuration::SetUp();
        association.reset(new TextFileAssociation(sandbox->file("opened.log")));
        ASSERT_TRUE(association->ready);
    }

    void TearDown() override
    {
        association.reset();
        Configuration::TearDown();
    }

    // What the shell opened, once the recorder has had `ms` to run. Posted,
    // so that a program that stops to show a message does not stop the test.
    std::vector<std::string> openedAfterViewLogCommand(DWORD ms = 5000)
    {
        PostMessageA(window, WM_COMMAND, IDM_VIEW_AGENT_LOG, 0);
        std::string log = sandbox->file("opened.log");
        waitUntil(ms, [&] { return GetFileAttributesA(log.c_str()) != INVALID_FILE_ATTRIBUTES; });
        settle(300); // a second program would have written by now
        return readLines(log);
    }

    std::unique_ptr<TextFileAssociation> association;
};

TEST_F(AgentLog, IsOpenedInTheLogFolderOfTheRegistry)
{
    // Decoys where a wrong choice of folder would find a log too.
    writeFile(sandbox->file("gAgentLog.txt"), "current folder\n");
    writeFile(sandbox->file("user-home\\gAgentLog.txt"), "key folder\n");
    writeFile(sandbox->file("logs\\gAgentLog.txt"), "log\n");
    setFolderValue(HKEY_CURRENT_USER, "UserDir", sandbox->file("user-home\\"));
    setFolderValue(HKEY_LOCAL_MACHINE, "LogDir", sandbox->file("logs"));
    launch();
    size_t before = expansions().size();
    EXPECT_EQ(openedAfterViewLogCommand(), std::vector<std::string>{"opened " + sandbox->file("logs\\gAgentLog.txt")});
    std::vector<std::string> after = expansions();
    ASSERT_EQ(after.size(), before + 1);
    EXPECT_EQ(after.back(), "expandFolder " + sandbox->file("logs") + " 260");
    EXPECT_FALSE(app->hasOtherTopLevelWindow());
}

enum LogFolderValue { NO_LOG_FOLDER, LOG_FOLDER_NOT_EXPANDED, LOG_FOLDER_EXPANDING_TO_NOTHING };

class AgentLogWithoutFolder : public AgentLog, public ::testing::WithParamInterface<LogFolderValue> {};

TEST_P(AgentLogWithoutFolder, IsOpenedByItsBareNameInTheCurrentFolder)
{
    writeFile(sandbox->file("gAgentLog.txt"), "current folder\n");
    writeFile(sandbox->file("user-home\\gAgentLog.txt"), "key folder\n");
    writeFile(sandbox->file("logs\\gAgentLog.txt"), "log\n");
    setFolderValue(HKEY_CURRENT_USER, "UserDir", sandbox->file("user-home\\"));
    if (GetParam() == LOG_FOLDER_NOT_EXPANDED) {
        setFolderValue(HKEY_CURRENT_USER, "LogDir", sandbox->file("logs"));
        environment["GAGENT_TEST_EXPAND_STATUS"] = "2";
    }
    if (GetParam() == LOG_FOLDER_EXPANDING_TO_NOTHING)
        setFolderValue(HKEY_CURRENT_USER, "LogDir", "");
    launch();
    EXPECT_EQ(openedAfterViewLogCommand(), std::vector<std::string>{"opened " + sandbox->file("gAgentLog.txt")});
    EXPECT_FALSE(app->hasOtherTopLevelWindow());
}

std::string logFolderName(const ::testing::TestParamInfo<LogFolderValue> &c)
{
    const char *const names[] = {"NoValue", "ExpansionFails", "ExpandsToNothing"};
    return names[c.param];
}

INSTANTIATE_TEST_SUITE_P(Folders, AgentLogWithoutFolder,
                         ::testing::Values(NO_LOG_FOLDER, LOG_FOLDER_NOT_EXPANDED, LOG_FOLDER_EXPANDING_TO_NOTHING),
                         logFolderName);

TEST_F(AgentLog, AMissingLogIsLeftToTheShellWithoutAMessage)
{
    launch();
    EXPECT_TRUE(openedAfterViewLogCommand(1000).empty());
    EXPECT_TRUE(app->isRunning());
    EXPECT_FALSE(app->hasOtherTopLevelWindow());
}

} // namespace
