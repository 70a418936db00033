#include "AppFixture.h"

#include <fstream>
#include <sstream>

#include "WineHelpViewer.h"
#include "resource.h"

const char *const ENGLISH_TITLE = "Glimmerpad Key Manager";

std::string currentTestName()
{
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    for (char &c : name) {
        if (c == '/' || c == '\\' || c == ':')
            c = '_';
    }
    return name;
}

std::string fixtureLanguageFolder()
{
    char folder[16] = "";
    GetEnvironmentVariableA("GAGENT_TEST_UI_FOLDER", folder, sizeof folder);
    return folder[0] ? folder : "1033";
}

int installerAnswerFor(const std::string &folder)
{
    if (folder == "1036")
        return 2;
    if (folder == "1031")
        return 4;
    if (folder == "1041")
        return 8;
    return 0;
}

void StartedApp::SetUp()
{
    sandbox.reset(new e2e::Sandbox(currentTestName()));
    sandbox->addProduct();
    sandbox->addLanguage(languageFolder, languageFolder);
    sandbox->addInstallerDouble();
    app.reset(new e2e::App(*sandbox));
    if (languageFolder != "1033")
        app->setEnvironment("GAGENT_TEST_LANGUAGE", std::to_string(installerAnswerFor(languageFolder)));
    ASSERT_TRUE(app->start());
    window = app->waitForMainWindow(e2e::moduleString(languageFolder, IDS_APP_TITLE));
    ASSERT_NE(window, (HWND)NULL) << "the key manager window did not appear";
}

void AgentApp::SetUp()
{
    sandbox.reset(new e2e::Sandbox(currentTestName(), sandboxBase));
    sandbox->addProduct();
    sandbox->addLanguage(languageFolder, languageFolder);
    sandbox->addInstallerDouble();
    script("");
}

void AgentApp::script(const std::string &lines)
{
    std::ofstream file(sandbox->file("agent.script").c_str(), std::ios::trunc);
    file << lines;
}

void AgentApp::start(const std::string &library)
{
    if (!library.empty())
        sandbox->addFile(e2e::testProgramDirectory() + "\\doubles\\" + library + "\\OPENSSH.DLL", "OPENSSH.DLL");
    app.reset(new e2e::App(*sandbox));
    app->setEnvironment("GAGENT_TEST_AGENT_SCRIPT", sandbox->file("agent.script"));
    if (languageFolder != "1033")
        app->setEnvironment("GAGENT_TEST_LANGUAGE", std::to_string(installerAnswerFor(languageFolder)));
    ASSERT_TRUE(app->start());
}

HWND AgentApp::waitForWindow()
{
    window = app->waitForMainWindow(e2e::moduleString(languageFolder, IDS_APP_TITLE));
    return window;
}

void AgentApp::startWith(const std::string &lines)
{
    script(lines);
    start();
    ASSERT_NE(waitForWindow(), (HWND)NULL);
}

std::vector<std::string> AgentApp::callsStartingWith(const std::string &prefix) const
{
    std::vector<std::string> lines;
    for (const std::string &line : calls()) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line);
    }
    return lines;
}

bool AgentApp::called(const std::string &call) const
{
    for (const std::string &line : calls()) {
        if (line == call)
            return true;
    }
    return false;
}

int AgentApp::countCalls(const std::string &prefix) const
{
    return static_cast<int>(callsStartingWith(prefix).size());
}

void AgentApp::clickRow(int row, bool doubleClick, WORD modifier)
{
    RECT rect;
    std::istringstream(app->probe("listrowrect", IDC_KEY_LIST, std::to_string(row)))
        >> rect.left >> rect.top >> rect.right >> rect.bottom;
    ASSERT_TRUE(e2e::makeForeground(window));
    POINT inside = {rect.left + 8, (rect.top + rect.bottom) / 2};
    e2e::clickAt(inside, doubleClick, modifier);
    // On a loaded machine the click may reach the list well after the
    // usual pause: wait until it has selected the row, then for what the
    // click sets off.
    std::string selected = " " + std::to_string(row) + " ";
    e2e::waitUntil(3000, [&] {
        return (" " + app->probe("listselection", IDC_KEY_LIST)).find(selected) != std::string::npos;
    });
    e2e::settle();
}

void AgentApp::clickBelowRows()
{
    RECT list;
    GetWindowRect(GetDlgItem(window, IDC_KEY_LIST), &list);
    ASSERT_TRUE(e2e::makeForeground(window));
    // Well above the bottom edge, where the horizontal scroll bar may be.
    POINT empty = {list.left + 20, list.top + (list.bottom - list.top) * 3 / 4};
    e2e::clickAt(empty);
    e2e::settle();
}

std::vector<std::string> AgentApp::rows()
{
    std::vector<std::string> lines;
    std::istringstream text(app->probe("listrows", IDC_KEY_LIST));
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    return lines;
}

bool AgentApp::enabled(int buttonId) const
{
    return IsWindowEnabled(GetDlgItem(window, buttonId)) != FALSE;
}

bool AgentApp::menuEnabled(int id)
{
    return (app->menuState(id) & MF_GRAYED) == 0;
}

HelpApp::HelpApp()
{
    sandboxBase = "C:\\gagent-sandboxes";
}

void HelpApp::SetUp()
{
    AgentApp::SetUp();
    sandbox->addHelp(languageFolder);
}

void HelpApp::TearDown()
{
    if (app)
        app->kill();
    helpviewer::quit();
}
