// Adding, exporting, removing and renaming keys, seen from outside: the
// system's file dialogs the commands open (recorded by the probe on the way
// to the real ones, which the test then fills in), the commands' own two
// dialogs, the agent calls they make and the messages they show.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "AgentChannel.h"
#include "AppFixture.h"
#include "LocalSetup.h"
#include "resource.h"

using namespace e2e;

namespace {

const char *const EXPORT_CAPTION = "Export Public Key"; // template 164
const char *const KEY_TEXT_CAPTION = "Key Settings";    // template 161
// The file name field of Wine's file dialog: a combo box, or an edit in
// older layouts.
const int FILE_NAME_COMBO = 0x47c, FILE_NAME_EDIT = 0x480;

const std::string TWO_KEYS = "key alpha|1|SHA256:a\nkey bravo|0|SHA256:b\n";

class KeyFileCommands : public AgentApp {
protected:
    void SetUp() override
    {
        AgentApp::SetUp();
        registry.reset(new SavedFolderValues);
        keyFolder = sandbox->file("home\\.ssh\\");
    }

    // The program with `keys`, its file dialogs recorded; the user's key
    // folder exists unless `withKeyFolder` is false, when no registry value
    // names one.
    void startWith(const std::string &keys, bool withKeyFolder = true)
    {
        if (withKeyFolder) {
            createFolders(keyFolder);
            ASSERT_TRUE(setStringValue(HKEY_CURRENT_USER, PRODUCT_KEY, "UserDir", sandbox->file("home")));
        }
        script(keys);
        start();
        ASSERT_NE(waitForWindow(), (HWND)NULL);
        ASSERT_EQ(app->probe("hookfiledialogs"), "hooked 2");
    }

    // A file dialog call as the probe records it.
    std::string fileDialog(const char *kind, unsigned flags, int capacity, const std::string &folder, int titleId,
                           const std::string &filter, int filterIndex, const char *defaultExtension)
    {
        std::ostringstream line;
        line << kind << "\t" << std::hex << reinterpret_cast<UINT_PTR>(window) << "\t0x" << flags << std::dec
             << "\t" << capacity << "\t\t" << folder << "\t" << englishString(titleId) << "\t" << filter << "\t"
             << filterIndex << "\t" << defaultExtension;
        return line.str();
    }
    std::string openDialog(const std::string &folder)
    {
        return fileDialog("open", 0x1004, 512, folder, IDS_ADD_KEY_TITLE, "(null)", 0, "(null)");
    }
    std::string saveDialog(const std::string &folder)
    {
        return fileDialog("save", 0x8006, 260, folder, IDS_EXPORT_TITLE,
                          englishString(IDS_EXPORT_FILTER) + "\\0*.pub\\0\\0", 1, "pub");
    }

    // The calls recorded; a null folder shows as empty: either lets the
    // system choose.
    std::vector<std::string> fileDialogs()
    {
        std::vector<std::string> lines;
        std::istringstream text(app->probe("filedialogs"));
        for (std::string line; std::getline(text, line);) {
            size_t folder = 0;
            for (int column = 0; column < 5; ++column)
                folder = line.find('\t', folder) + 1;
            if (line.compare(folder, 7, "(null)\t") == 0)
                line.erase(folder, 6);
            lines.push_back(line);
        }
        return lines;
    }

    // The agent calls of these commands, in order.
    std::vector<std::string> keyCalls() const
    {
        std::vector<std::string> lines;
        for (const std::string &line : calls()) {
            for (const char *name : {"addKey ", "exportPublicKey ", "removeKey ", "applyKeyText "}) {
                if (line.compare(0, strlen(name), name) == 0)
                    lines.push_back(line);
            }
        }
        return lines;
    }
    bool waitForKeyCalls(size_t count)
    {
        return waitUntil(5000, [&] { return keyCalls().size() >= count; });
    }

    void select(const std::string &rows) { app->probe("listselect", IDC_KEY_LIST, rows); }

    // The agent side changes its keys and announces it; the first row of
    // the new list is selected.
    void replaceKeys(const std::string &lines)
    {
        script(lines);
        SendMessageA(window, WM_AGENT_REFRESH, 0, 0);
        select("0");
    }

    // True when the command returns without opening any window.
    bool endsAtOnce(int id)
    {
        DWORD_PTR result;
        return SendMessageTimeoutA(window, WM_COMMAND, id, 0, SMTO_NORMAL, timeoutMs(3000), &result) != 0;
    }

    // Once the program's thread answers, a command has gone as far as its
    // next modal loop.
    void expectNothingShown()
    {
        DWORD_PTR result;
        SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs(5000), &result);
        settle();
        EXPECT_FALSE(app->hasOtherTopLevelWindow());
    }

    bool closeWith(HWND dialog, int button)
    {
        if (dialog == NULL)
            return false;
        PostMessageA(dialog, WM_COMMAND, button, 0);
        return waitUntil(5000, [&] { return !IsWindow(dialog); });
    }

    // The first visible dialog box owned by `owner`.
    HWND waitForBoxOwnedBy(HWND owner)
    {
        HWND found = NULL;
        waitUntil(10000, [&] {
            for (HWND box = FindWindowExA(NULL, NULL, "#32770", NULL); box != NULL;
                 box = FindWindowExA(NULL, box, "#32770", NULL)) {
                if (IsWindowVisible(box) && GetWindow(box, GW_OWNER) == owner)
                    return (found = box) != NULL;
            }
            return false;
        });
        return found;
    }

    void expectError(HWND owner, int stringId)
    {
        HWND box = waitForBoxOwnedBy(owner);
        ASSERT_NE(box, (HWND)NULL) << "no message " << stringId;
        EXPECT_EQ(windowText(box), ENGLISH_TITLE);
        EXPECT_EQ(messageBoxMessage(box), englishString(stringId));
        EXPECT_TRUE(closeWith(box, IDOK));
    }

    static void setField(HWND dialog, int id, const std::string &text)
    {
        SendMessageA(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    static std::string field(HWND dialog, int id)
    {
        char text[512] = "";
        SendMessageA(GetDlgItem(dialog, id), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
        return text;
    }

    // Types `name` into a file dialog and presses OK.
    static void typeFileName(HWND dialog, const std::string &name)
    {
        bool combo = GetDlgItem(dialog, FILE_NAME_COMBO) != NULL;
        ASSERT_TRUE(combo || GetDlgItem(dialog, FILE_NAME_EDIT) != NULL) << "no file name field";
        setField(dialog, combo ? FILE_NAME_COMBO : FILE_NAME_EDIT, name);
        PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    }
    void choose(HWND dialog, const std::string &name)
    {
        ASSERT_NE(dialog, (HWND)NULL) << "no file dialog";
        typeFileName(dialog, name);
        ASSERT_TRUE(waitUntil(5000, [&] { return !IsWindow(dialog); })) << name << " not accepted";
    }

    // The dialog that command `id` opens.
    HWND dialogOf(int id, const std::string &caption)
    {
        command(id);
        return app->waitForDialog(caption);
    }

    void add(const std::string &name) { choose(dialogOf(IDM_ADD_KEY, englishString(IDS_ADD_KEY_TITLE)), name); }

    // Runs the export command through its format dialog (with the second
    // format when `second`) up to the save dialog.
    HWND openSaveDialog(bool second = false)
    {
        HWND format = dialogOf(IDM_EXPORT_KEY, EXPORT_CAPTION);
        if (format == NULL)
            return NULL;
        if (second)
            SendDlgItemMessageA(format, IDC_EXPORT_RFC4716, BM_CLICK, 0, 0);
        if (!closeWith(format, IDOK))
            return NULL;
        return app->waitForDialog(englishString(IDS_EXPORT_TITLE));
    }

    std::unique_ptr<SavedFolderValues> registry;
    std::string keyFolder;
};

TEST_F(KeyFileCommands, AddOpensInTheKeyFolderAndTakesThePrivateFileOfAPublicOne)
{
    for (const char *file : {"id_a", "id_a.pub", "ID_B", "ID_B.PUB", "id_c.Pub", "id_d"})
        writeFile(keyFolder + file, "key\n");
    startWith(TWO_KEYS);
    const struct {
        const char *chosen, *added;
    } cases[] = {{"id_a.pub", "id_a"}, {"ID_B.PUB", "ID_B"}, {"id_c.Pub", NULL}, {"id_d", "id_d"}};
    std::vector<std::string> added;
    for (const auto &c : cases) {
        // Typed without a folder: found only in the dialog's first folder.
        add(c.chosen);
        if (c.added == NULL) {
            expectError(window, IDS_ADD_KEY_FILE_FAILED);
            continue;
        }
        added.push_back("addKey " + keyFolder + c.added);
        EXPECT_TRUE(waitForKeyCalls(added.size())) << c.chosen;
        expectNothingShown();
    }
    EXPECT_EQ(keyCalls(), added);
    EXPECT_EQ(fileDialogs(), std::vector<std::string>(4, openDialog(keyFolder)));
}

TEST_F(KeyFileCommands, AddShowsOnlyTheAgentsTwoFailuresAndACancelAddsNothing)
{
    std::string file = sandbox->file("keys\\id_plain");
    writeFile(file, "key\n");
    startWith(TWO_KEYS, false);
    const struct {
        int status, message;
    } cases[] = {{7, IDS_ADD_KEY_FILE_FAILED}, {8, IDS_ADD_KEY_FAILED}, {42, 0}};
    for (const auto &c : cases) {
        script(TWO_KEYS + "addKey " + std::to_string(c.status) + "\n");
        add(file);
        if (c.message != 0)
            expectError(window, c.message);
        else
            expectNothingShown();
    }
    EXPECT_TRUE(closeWith(dialogOf(IDM_ADD_KEY, englishString(IDS_ADD_KEY_TITLE)), IDCANCEL));
    expectNothingShown();
    EXPECT_EQ(keyCalls(), std::vector<std::string>(3, "addKey " + file));
    EXPECT_EQ(fileDialogs(), std::vector<std::string>(4, openDialog("")));
}

TEST_F(KeyFileCommands, ExportAsksFormatThenPathForTheKeySelectedBeforeEither)
{
    startWith(TWO_KEYS);
    select("0");
    HWND format = dialogOf(IDM_EXPORT_KEY, EXPORT_CAPTION);
    ASSERT_NE(format, (HWND)NULL);
    EXPECT_EQ(SendDlgItemMessageA(format, IDC_EXPORT_OPENSSH, BM_GETCHECK, 0, 0), BST_CHECKED);
    replaceKeys("key changed-first|1|x\n");
    ASSERT_TRUE(closeWith(format, IDOK));
    HWND save = app->waitForDialog(englishString(IDS_EXPORT_TITLE));
    replaceKeys("key changed-second|1|x\n");
    choose(save, "id");
    ASSERT_TRUE(waitForKeyCalls(1));
    expectNothingShown();
    EXPECT_EQ(keyCalls(), std::vector<std::string>{"exportPublicKey alpha 0 " + keyFolder + "id.pub"});
    EXPECT_EQ(fileDialogs(), std::vector<std::string>{saveDialog(keyFolder)});
}

TEST_F(KeyFileCommands, ExportCancelledAtEitherStepOrRefusedByTheAgent)
{
    std::string target = sandbox->file("out.pub");
    startWith(TWO_KEYS, false);
    select("1");
    EXPECT_TRUE(closeWith(dialogOf(IDM_EXPORT_KEY, EXPORT_CAPTION), IDCANCEL));
    expectNothingShown();
    EXPECT_TRUE(fileDialogs().empty()) << "a save dialog after the format was cancelled";
    EXPECT_TRUE(closeWith(openSaveDialog(), IDCANCEL));
    expectNothingShown();

    script(TWO_KEYS + "exportPublicKey 10\n");
    choose(openSaveDialog(true), target);
    expectError(window, IDS_EXPORT_FAILED);
    script(TWO_KEYS + "exportPublicKey 9\n");
    choose(openSaveDialog(), target);
    ASSERT_TRUE(waitForKeyCalls(2));
    expectNothingShown();
    EXPECT_EQ(keyCalls(), (std::vector<std::string>{"exportPublicKey bravo 1 " + target,
                                                    "exportPublicKey bravo 0 " + target}));
    EXPECT_EQ(fileDialogs(), std::vector<std::string>(3, saveDialog("")));
}

TEST_F(KeyFileCommands, ExportAsksBeforeReplacingAFile)
{
    writeFile(keyFolder + "old.pub", "old\n");
    startWith(TWO_KEYS);
    select("0");
    HWND save = openSaveDialog();
    ASSERT_NE(save, (HWND)NULL);
    for (int answer : {IDNO, IDYES}) {
        typeFileName(save, "old.pub");
        HWND question = waitForBoxOwnedBy(save);
        ASSERT_NE(question, (HWND)NULL) << "not asked before replacing";
        ASSERT_TRUE(closeWith(question, answer));
    }
    ASSERT_TRUE(waitForKeyCalls(1));
    EXPECT_EQ(keyCalls(), std::vector<std::string>{"exportPublicKey alpha 0 " + keyFolder + "old.pub"});
}

TEST_F(KeyFileCommands, RemoveNamesTheFirstSelectedKeyCutTo127AndShowsOnlyItsFailure)
{
    const std::string keys = "key alpha|1|a\nkey bravo|1|b\nkey charlie|1|c\nkey " + std::string(127, 'x') +
                             "|1|d\nkey " + std::string(128, 'y') + "|1|e\nkey " + std::string(300, 'z') + "|1|f\n";
    startWith(keys);
    select("2 1");
    EXPECT_TRUE(endsAtOnce(IDC_REMOVE_KEY));

    script(keys + "removeKey 9\n");
    select("0");
    command(IDC_REMOVE_KEY);
    expectError(window, IDS_REMOVE_KEY_FAILED);
    script(keys + "removeKey 8\n");
    EXPECT_TRUE(endsAtOnce(IDC_REMOVE_KEY));

    for (const char *row : {"3", "4", "5"}) {
        select(row);
        EXPECT_TRUE(endsAtOnce(IDC_REMOVE_KEY)) << row;
    }
    EXPECT_EQ(keyCalls(), (std::vector<std::string>{"removeKey bravo", "removeKey alpha", "removeKey alpha",
                                                    "removeKey " + std::string(127, 'x'),
                                                    "removeKey " + std::string(127, 'y'),
                                                    "removeKey " + std::string(127, 'z')}));
}

TEST_F(KeyFileCommands, KeyTextNeedsANameAndPassesTheTextsCutTo127)
{
    startWith(TWO_KEYS);
    select("0");
    HWND dialog = dialogOf(IDC_KEY_TEXT, KEY_TEXT_CAPTION);
    ASSERT_NE(dialog, (HWND)NULL);
    setField(dialog, IDC_KEY_LIFETIME, "8h");
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    expectError(dialog, IDS_KEY_NAME_REQUIRED);
    ASSERT_TRUE(IsWindow(dialog));
    EXPECT_EQ(field(dialog, IDC_KEY_LIFETIME), "8h");
    // An empty lifetime is no lifetime at all.
    setField(dialog, IDC_KEY_NAME, "renamed");
    setField(dialog, IDC_KEY_LIFETIME, "");
    ASSERT_TRUE(closeWith(dialog, IDOK));
    ASSERT_TRUE(waitForKeyCalls(1));

    // WM_SETTEXT passes over the fields' typing limit.
    dialog = dialogOf(IDC_KEY_TEXT, KEY_TEXT_CAPTION);
    ASSERT_NE(dialog, (HWND)NULL);
    replaceKeys("key zulu|1|z\napplyKeyText 9\n");
    setField(dialog, IDC_KEY_NAME, std::string(200, 'n'));
    setField(dialog, IDC_KEY_LIFETIME, std::string(128, 'l'));
    ASSERT_TRUE(closeWith(dialog, IDOK));
    ASSERT_TRUE(waitForKeyCalls(2));
    expectNothingShown();

    EXPECT_TRUE(closeWith(dialogOf(IDC_KEY_TEXT, KEY_TEXT_CAPTION), IDCANCEL));
    expectNothingShown();
    EXPECT_EQ(keyCalls(), (std::vector<std::string>{"applyKeyText (null)|renamed|alpha",
                                                    "applyKeyText " + std::string(127, 'l') + "|" +
                                                        std::string(127, 'n') + "|alpha"}));
}

TEST_F(KeyFileCommands, CommandsOnTheSelectedKeyDoNothingWithoutOne)
{
    startWith("key |1|nameless\nkey alpha|1|a\n");
    for (const char *rows : {"", "0"}) {
        select(rows);
        for (int id : {IDM_EXPORT_KEY, IDC_REMOVE_KEY, IDC_KEY_TEXT})
            EXPECT_TRUE(endsAtOnce(id)) << "command " << id << " with rows '" << rows << "' selected";
    }
    EXPECT_TRUE(keyCalls().empty());
    EXPECT_TRUE(fileDialogs().empty());
}

} // namespace
