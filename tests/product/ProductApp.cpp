#include "ProductApp.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "AgentChannel.h"
#include "AppFixture.h"
#include "resource.h"

using namespace e2e;

namespace {

// The file name field of Wine's file dialog: a combo box, or an edit in
// older layouts.
const int FILE_NAME_COMBO = 0x47c, FILE_NAME_EDIT = 0x480;
const char *const KEY_PASSPHRASE_CAPTION = "Key File Passphrase";
const int KEY_PASSPHRASE_EDIT = 102, KEY_PASSPHRASE_RETRY = 103;

std::string environmentValue(const char *name)
{
    char value[1024] = "";
    DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length < sizeof value ? value : "";
}

bool fileExists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

std::string fingerprintIn(const std::string &detail)
{
    size_t at = detail.find("SHA256:");
    if (at == std::string::npos)
        return "";
    return detail.substr(at, detail.find(',', at) - at);
}

void ProductApp::SetUp()
{
    work = environmentValue("GAGENT_PRODUCT_WORK");
    passphrase = environmentValue("GAGENT_PRODUCT_PASSPHRASE");
    ASSERT_FALSE(work.empty()) << "run through run-product-tests.sh, which names the work folder";
    ASSERT_EQ(agentWindow(), (HWND)NULL) << "an agent runs already";

    sandbox.reset(new Sandbox(currentTestName()));
    sandbox->addProduct();
    sandbox->addLanguage("1033");
    for (const char *file :
         {"OPENSSH.DLL", "gkeyagent.exe", "gagent-relay.exe", "libgcrypt-20.dll", "libgpg-error-0.dll", "zelmsi13.dll"})
        sandbox->addFile(stageDirectory() + "\\" + file, file);
    home = sandbox->file("home");
    appData = sandbox->file("appdata");
    keyFolder = home + "\\.ssh\\";
    createFolders(home);
    createFolders(appData);
    // As the installer records them: the key folder and the log below the
    // profile and application data of whoever runs the program.
    registry.reset(new SavedFolderValues);
    ASSERT_TRUE(setStringValue(HKEY_CURRENT_USER, PRODUCT_KEY, "UserDir", "%USERPROFILE%"));
    ASSERT_TRUE(setStringValue(HKEY_CURRENT_USER, PRODUCT_KEY, "LogDir", "%APPDATA%"));
    static int tests = 0;
    pipe = "gagent-product-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++tests);
    // The script's bridge reaches this test's agent through the relay beside it.
    std::ofstream relay((work + "\\relays\\" + pipe).c_str());
    relay << sandbox->file("gagent-relay.exe") << "\n";
}

void ProductApp::TearDown()
{
    if (app)
        app->kill();
    EXPECT_TRUE(stopAgent()) << "the agent did not end on WM_CLOSE";
}

void ProductApp::start()
{
    app.reset(new App(*sandbox));
    app->setEnvironment("SSH_AUTH_SOCK", "\\\\.\\pipe\\" + pipe);
    app->setEnvironment("USERPROFILE", home);
    app->setEnvironment("APPDATA", appData);
    ASSERT_TRUE(app->start());
    window = app->waitForMainWindow(ENGLISH_TITLE, 30000);
    ASSERT_NE(window, (HWND)NULL) << "the key manager window did not appear";
}

HWND ProductApp::agentWindow()
{
    return FindWindowA(AGENT_WINDOW_CLASS, NULL);
}

bool ProductApp::stopAgent()
{
    HWND agent = agentWindow();
    if (agent == NULL)
        return true;
    DWORD id = 0;
    GetWindowThreadProcessId(agent, &id);
    // The agent grants other processes no more than waiting, ending and the
    // limited query (Vista's PROCESS_QUERY_LIMITED_INFORMATION), which
    // reads its exit code.
    const DWORD QUERY_LIMITED = 0x1000;
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | QUERY_LIMITED, FALSE, id);
    PostMessageA(agent, WM_CLOSE, 0, 0);
    bool ended = waitForProcessExit(process, 10000) != STILL_ACTIVE;
    if (!ended && process != NULL) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
    }
    if (process != NULL)
        CloseHandle(process);
    return ended;
}

std::vector<KeyRow> ProductApp::rows()
{
    std::vector<KeyRow> found;
    std::istringstream text(app->probe("listrows", IDC_KEY_LIST));
    for (std::string line; std::getline(text, line);) {
        KeyRow row;
        std::istringstream columns(line);
        std::getline(columns, row.name, '\t');
        std::getline(columns, row.type, '\t');
        std::getline(columns, row.detail);
        found.push_back(row);
    }
    return found;
}

bool ProductApp::waitForRowCount(size_t count)
{
    return waitUntil(15000, [&] { return rows().size() == count; });
}

int ProductApp::rowWithFingerprint(const std::string &fingerprint)
{
    std::vector<KeyRow> shown = rows();
    for (size_t i = 0; i < shown.size(); ++i) {
        if (fingerprintIn(shown[i].detail) == fingerprint)
            return static_cast<int>(i);
    }
    return -1;
}

void ProductApp::select(int row)
{
    app->probe("listselect", IDC_KEY_LIST, std::to_string(row));
}

void ProductApp::clickBelowRows()
{
    RECT list;
    GetWindowRect(GetDlgItem(window, IDC_KEY_LIST), &list);
    ASSERT_TRUE(makeForeground(window));
    POINT empty = {list.left + 20, list.top + (list.bottom - list.top) * 3 / 4};
    clickAt(empty);
}

bool ProductApp::enabled(int buttonId) const
{
    return IsWindowEnabled(GetDlgItem(window, buttonId)) != FALSE;
}

bool ProductApp::menuEnabled(int id)
{
    return (app->menuState(id) & MF_GRAYED) == 0;
}

bool ProductApp::menuChecked(int id)
{
    return (app->menuState(id) & MF_CHECKED) != 0;
}

void ProductApp::command(int id)
{
    PostMessageA(window, WM_COMMAND, id, 0);
}

HWND ProductApp::dialogOf(int id, const std::string &caption)
{
    command(id);
    return app->waitForDialog(caption);
}

void ProductApp::setField(HWND dialog, int id, const std::string &text)
{
    SendMessageA(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::string ProductApp::field(HWND dialog, int id)
{
    char text[1024] = "";
    SendMessageA(GetDlgItem(dialog, id), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

bool ProductApp::closeWith(HWND dialog, int button)
{
    if (dialog == NULL)
        return false;
    PostMessageA(dialog, WM_COMMAND, button, 0);
    return waitUntil(10000, [&] { return !IsWindow(dialog); });
}

std::string ProductApp::closeBoxOwnedBy(HWND owner, std::string *caption, int button)
{
    HWND box = app->waitForDialogOwnedBy(owner, 15000);
    if (box == NULL)
        return "";
    if (caption != NULL)
        *caption = windowText(box);
    std::string text = messageBoxMessage(box);
    closeWith(box, button);
    return text;
}

void ProductApp::chooseFile(const std::string &caption, const std::string &path)
{
    HWND dialog = app->waitForDialog(caption);
    ASSERT_NE(dialog, (HWND)NULL) << "no file dialog " << caption;
    bool combo = GetDlgItem(dialog, FILE_NAME_COMBO) != NULL;
    ASSERT_TRUE(combo || GetDlgItem(dialog, FILE_NAME_EDIT) != NULL) << "no file name field";
    setField(dialog, combo ? FILE_NAME_COMBO : FILE_NAME_EDIT, path);
    ASSERT_TRUE(closeWith(dialog, IDOK)) << path << " not accepted";
}

void ProductApp::addKeyFile(const std::string &path)
{
    command(IDM_ADD_KEY);
    chooseFile(englishString(IDS_ADD_KEY_TITLE), path);
}

bool ProductApp::answerKeyPassphrase(const std::string &typed, bool cancel, std::string *retryText)
{
    HWND prompt = app->waitForDialog(KEY_PASSPHRASE_CAPTION, 15000);
    if (prompt == NULL || GetWindow(prompt, GW_OWNER) != window)
        return false;
    if (retryText != NULL)
        *retryText = field(prompt, KEY_PASSPHRASE_RETRY);
    setField(prompt, KEY_PASSPHRASE_EDIT, typed);
    return closeWith(prompt, cancel ? IDCANCEL : IDOK);
}

void ProductApp::setAgentPassphrase(const std::string &current, const std::string &replacement)
{
    HWND dialog = dialogOf(IDC_AGENT_PASSPHRASE, "Agent Passphrase");
    ASSERT_NE(dialog, (HWND)NULL);
    setField(dialog, IDC_CURRENT_PASSPHRASE, current);
    setField(dialog, IDC_NEW_PASSPHRASE, replacement);
    setField(dialog, IDC_REPEAT_PASSPHRASE, replacement);
    ASSERT_TRUE(closeWith(dialog, IDOK));
}

void ProductApp::unlock(const std::string &typed)
{
    HWND dialog = dialogOf(IDC_UNLOCK_AGENT, "Unlock Agent");
    ASSERT_NE(dialog, (HWND)NULL);
    setField(dialog, IDC_UNLOCK_PASSPHRASE, typed);
    ASSERT_TRUE(closeWith(dialog, IDOK));
}

PeerAnswer ProductApp::peer(const std::string &verb, const std::string &file)
{
    static int requests = 0;
    std::string base = work + "\\requests\\" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++requests);
    {
        std::ofstream request((base + ".part").c_str());
        request << pipe << " " << verb << " " << file << "\n";
    }
    // Renamed once whole: the script never reads half a request.
    MoveFileA((base + ".part").c_str(), (base + ".request").c_str());
    PeerAnswer answer = {-1, ""};
    // A login may wait for the agent's signature under emulation.
    if (!waitUntil(60000, [&] { return fileExists(base + ".result"); }))
        return answer;
    std::vector<std::string> lines = readLines(base + ".result");
    if (lines.empty())
        return answer;
    answer.status = std::atoi(lines[0].c_str());
    for (size_t i = 1; i < lines.size(); ++i)
        answer.output += (i > 1 ? "\n" : "") + lines[i];
    return answer;
}

std::string ProductApp::keyFile(const std::string &name) const
{
    return work + "\\keys\\" + name;
}

std::string ProductApp::fingerprintOf(const std::string &keyName) const
{
    std::vector<std::string> line = readLines(keyFile(keyName) + ".fp");
    std::istringstream fields(line.empty() ? "" : line[0]);
    std::string bits, fingerprint;
    fields >> bits >> fingerprint;
    return fingerprint;
}

std::string ProductApp::belowWork(const std::string &path) const
{
    std::string relative = path.compare(0, work.size() + 1, work + "\\") == 0 ? path.substr(work.size() + 1) : path;
    for (char &c : relative) {
        if (c == '\\')
            c = '/';
    }
    return relative;
}

void ProductApp::checkLater(const std::string &kind, const std::string &path, const std::string &fingerprint)
{
    std::ofstream checks((work + "\\checks").c_str(), std::ios::app);
    checks << kind << " " << belowWork(path) << " " << fingerprint << "\n";
}
