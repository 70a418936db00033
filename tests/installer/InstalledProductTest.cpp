// The product as its package installed it, seen from inside the Wine prefix
// the installation went to (run-installer-tests.sh installs it first).
// GAGENT_INSTALL_DIR is the installed folder, GAGENT_STAGE the build's stage,
// GAGENT_EXPECTED_LOCALE the installer library's answer for the language
// the installation was made with, GAGENT_BRIDGE_KEY the name of a key that
// the script adds to the agent with Linux's ssh-add while the manager runs,
// GAGENT_PACKAGE the package installed and GAGENT_EXPECTED_REFUSAL its
// refusal in the installation's language.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include "Driver.h"
#include "InstallerSupport.h"
#include "MessageBoxWatcher.h"
#include "resource.h"

namespace {

const char PRODUCT_KEY[] = "SOFTWARE\\VAQGlimmerpad";
const UINT APP_TITLE = 101;

std::string environment(const char *name)
{
    DWORD size = GetEnvironmentVariableA(name, NULL, 0);
    if (size == 0)
        return "";
    std::string value(size, '\0');
    value.resize(GetEnvironmentVariableA(name, &value[0], size));
    return value;
}

std::string installed(const std::string &relative)
{
    return environment("GAGENT_INSTALL_DIR") + "\\" + relative;
}

std::string contents(const std::string &path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string moduleString(const std::string &module, UINT id)
{
    HMODULE resources = LoadLibraryExA(module.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    char text[256] = "";
    if (resources != NULL) {
        LoadStringA(resources, id, text, sizeof text);
        FreeLibrary(resources);
    }
    return text;
}

// A value under the product's key in HKLM, with its type; empty if missing.
std::string machineValue(const char *name, DWORD *type = NULL)
{
    char value[MAX_PATH] = "";
    DWORD size = sizeof value - 1;
    DWORD kind = REG_NONE;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PRODUCT_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        if (RegQueryValueExA(key, name, NULL, &kind, reinterpret_cast<BYTE *>(value), &size) != ERROR_SUCCESS)
            value[0] = '\0';
        RegCloseKey(key);
    }
    if (type != NULL)
        *type = kind;
    return value;
}

std::string classOf(HWND window)
{
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string textOf(HWND window)
{
    std::string text(static_cast<size_t>(GetWindowTextLengthA(window)) + 1, '\0');
    text.resize(static_cast<size_t>(GetWindowTextA(window, &text[0], static_cast<int>(text.size()))));
    return text;
}

// A visible dialog of another process: Windows Installer's message box.
struct ProcessDialog {
    DWORD processId;
    HWND window;
};

BOOL CALLBACK findProcessDialog(HWND window, LPARAM context)
{
    ProcessDialog *search = reinterpret_cast<ProcessDialog *>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || !IsWindowVisible(window) || classOf(window) != "#32770")
        return TRUE;
    search->window = window;
    return FALSE;
}

// A message box's text: its first static control that holds some.
BOOL CALLBACK findMessageText(HWND child, LPARAM context)
{
    if (classOf(child) != "Static" || textOf(child).empty())
        return TRUE;
    *reinterpret_cast<std::string *>(context) = textOf(child);
    return FALSE;
}

// The user's own language choice, which the installer library asks first.
class UserLanguage {
public:
    explicit UserLanguage(const char *language)
    {
        RegCreateKeyExA(HKEY_CURRENT_USER, PRODUCT_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
        RegSetValueExA(key, "Language", 0, REG_SZ, reinterpret_cast<const BYTE *>(language),
                       lstrlenA(language) + 1);
    }
    ~UserLanguage()
    {
        RegDeleteValueA(key, "Language");
        RegCloseKey(key);
    }

private:
    HKEY key;
};

class InstalledProduct : public ::testing::Test {
protected:
    void SetUp() override
    {
        library = LoadLibraryA(installed("zelmsi13.dll").c_str());
        ASSERT_NE(library, (HMODULE)NULL) << installed("zelmsi13.dll");
    }
    void TearDown() override { FreeLibrary(library); }

    template <typename Function> Function function(const char *name)
    {
        return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(library, name)));
    }

    HMODULE library = NULL;
};

TEST_F(InstalledProduct, LibraryAnswersTheInstalledLanguageAndExpandsTheInstalledFolders)
{
    GetFileLocaleFunction getFileLocale = function<GetFileLocaleFunction>(GET_FILE_LOCALE_EXPORT);
    ASSERT_NE(getFileLocale, nullptr);
    EXPECT_EQ(getFileLocale(PRODUCT_CODE, 0, 0, 0, 0, 0), std::stoi(environment("GAGENT_EXPECTED_LOCALE")));

    ExpandFolderFunction expandFolder = function<ExpandFolderFunction>(EXPAND_FOLDER_EXPORT);
    ASSERT_NE(expandFolder, nullptr);
    char folder[MAX_PATH];
    ASSERT_EQ(expandFolder(machineValue("UserDir").c_str(), folder, MAX_PATH), 0);
    EXPECT_STREQ(folder, environment("USERPROFILE").c_str());
    ASSERT_EQ(expandFolder(machineValue("LogDir").c_str(), folder, MAX_PATH), 0);
    EXPECT_EQ(std::string(folder), environment("APPDATA") + "\\Glimmerpad");
}

TEST_F(InstalledProduct, ManagerLoadsTheResourceModuleOfTheInstalledLanguage)
{
    // While only the English module ships, the German installation's
    // manager names the folder it looked in; once it ships, it shows it.
    e2e::Sandbox sandbox("installed-german");
    e2e::App app(sandbox);
    ASSERT_TRUE(app.startFrom(installed("gagent.exe")));
    std::string german = installed("1031\\gagent.dll");
    if (GetFileAttributesA(german.c_str()) == INVALID_FILE_ATTRIBUTES) {
        e2e::MessageBoxSeen box;
        ASSERT_TRUE(app.waitForMessageBox(box, e2e::timeoutMs(10000)));
        EXPECT_EQ(box.text, "Failed to load resource file " + german);
    } else {
        EXPECT_NE(app.waitForMainWindow(moduleString(german, APP_TITLE), e2e::timeoutMs(10000)), (HWND)NULL);
    }
}

TEST_F(InstalledProduct, ManagerStartedFromItsInstalledFolderShowsItsWindow)
{
    UserLanguage english("1033");
    e2e::Sandbox sandbox("installed-english");
    e2e::App app(sandbox);
    ASSERT_TRUE(app.startFrom(installed("gagent.exe")));
    HWND window = app.waitForMainWindow(moduleString(installed("1033\\gagent.dll"), APP_TITLE),
                                        e2e::timeoutMs(10000));
    ASSERT_NE(window, (HWND)NULL);
    EXPECT_TRUE(IsWindowVisible(window));
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(app.waitForExit(e2e::timeoutMs(10000)), 0u);
}

// The agent is not running: the manager's library starts it from the
// installed folder, and the key the script then adds through the bridge
// reaches the list through the agent's refresh.
TEST_F(InstalledProduct, ManagerListsAKeyAddedThroughTheBridgeToTheAgentItsLibraryStarted)
{
    UserLanguage english("1033");
    e2e::Sandbox sandbox("installed-bridge");
    e2e::App app(sandbox);
    ASSERT_TRUE(app.startFrom(installed("gagent.exe")));
    HWND window = app.waitForMainWindow(moduleString(installed("1033\\gagent.dll"), APP_TITLE),
                                        e2e::timeoutMs(10000));
    ASSERT_NE(window, (HWND)NULL);
    std::string key = environment("GAGENT_BRIDGE_KEY");
    ASSERT_FALSE(key.empty());
    std::string rows;
    bool listed = e2e::waitUntil(20000, [&] {
        rows = "\n" + app.probe("listrows", IDC_KEY_LIST);
        return rows.find("\n" + key + "\t") != std::string::npos;
    });
    EXPECT_TRUE(listed) << "rows:" << rows;
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(app.waitForExit(e2e::timeoutMs(10000)), 0u);
}

TEST_F(InstalledProduct, OrdinalTwelveRepairsAMissingFileAndRegistryValueAndSaysSo)
{
    std::string module = installed("1033\\gagent.dll");
    ASSERT_TRUE(DeleteFileA(module.c_str()));
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, PRODUCT_KEY, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key, "UserDir"), ERROR_SUCCESS);
    RegCloseKey(key);

    typedef int(WINAPI * RepairFunction)(const char *, int);
    RepairFunction repair = function<RepairFunction>(MAKEINTRESOURCEA(12));
    ASSERT_NE(repair, nullptr);
    MessageBoxWatcher watcher;
    EXPECT_NE(repair(PRODUCT_CODE, 0), 0);
    std::vector<SeenMessageBox> boxes = watcher.stop();

    // Told in the installation's language, German here.
    ASSERT_EQ(boxes.size(), 1u);
    ASSERT_EQ(environment("GAGENT_EXPECTED_LANGUAGE"), "1031");
    EXPECT_EQ(boxes[0].caption, "Glimmerpad-Schl\xfcsselverwaltung");
    EXPECT_EQ(boxes[0].text, "Die Installation wurde repariert. Starten Sie die Schl\xfcsselverwaltung erneut.");
    EXPECT_EQ(contents(module), contents(environment("GAGENT_STAGE") + "\\1033\\gagent.dll"));
    DWORD type = REG_NONE;
    EXPECT_EQ(machineValue("UserDir", &type), "%USERPROFILE%");
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    // The language chosen at installation outlives the repair.
    EXPECT_EQ(machineValue("Language"), environment("GAGENT_EXPECTED_LANGUAGE"));
}

// The package run again as a user would, with its user interface: the
// language the installation recorded chooses the message.
TEST_F(InstalledProduct, SamePackageAgainIsRefusedInTheInstalledLanguage)
{
    std::string command = "msiexec /i \"" + environment("GAGENT_PACKAGE") + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION installer = {};
    ASSERT_TRUE(CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &installer));
    ProcessDialog box = {installer.dwProcessId, NULL};
    bool shown = e2e::waitUntil(20000, [&] {
        EnumWindows(findProcessDialog, reinterpret_cast<LPARAM>(&box));
        return box.window != NULL;
    });
    std::string text;
    if (shown) {
        EnumChildWindows(box.window, findMessageText, reinterpret_cast<LPARAM>(&text));
        PostMessageA(box.window, WM_COMMAND, IDOK, 0);
    }
    DWORD status = e2e::waitForProcessExit(installer.hProcess, e2e::timeoutMs(20000));
    if (status == STILL_ACTIVE)
        TerminateProcess(installer.hProcess, 1);
    CloseHandle(installer.hThread);
    CloseHandle(installer.hProcess);

    ASSERT_TRUE(shown);
    EXPECT_EQ(text, environment("GAGENT_EXPECTED_REFUSAL"));
    EXPECT_EQ(status, static_cast<DWORD>(ERROR_INSTALL_FAILURE));
}

} // namespace
