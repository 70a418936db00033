// Common ground of the end-to-end tests: a sandboxed copy of the product
// with the recording installer double, started and found on screen.
#ifndef GAGENT_TEST_APPFIXTURE_H
#define GAGENT_TEST_APPFIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Driver.h"

// String 101 of the English resource module.
extern const char *const ENGLISH_TITLE;

// A sandbox named after the running test.
std::string currentTestName();

// The language folder the fixtures run the program in: GAGENT_TEST_UI_FOLDER
// when set (the gallery sets it for each language), else English, "1033".
std::string fixtureLanguageFolder();
// The installer-support library's answer that picks that folder.
int installerAnswerFor(const std::string &folder);

class StartedApp : public ::testing::Test {
protected:
    void SetUp() override;

    std::unique_ptr<e2e::Sandbox> sandbox;
    std::unique_ptr<e2e::App> app;
    HWND window = NULL;
    std::string languageFolder = fixtureLanguageFolder();
};

// The program with the recording agent library beside it, scripted by the
// test through a file the double reads at every call.
class AgentApp : public ::testing::Test {
protected:
    void SetUp() override;
    // Replaces the agent's script; takes effect at the agent's next call.
    void script(const std::string &lines);
    // Starts the program with the double of `library` ("openssh", or a
    // variant folder; "" for no agent library at all).
    void start(const std::string &library = "openssh");
    HWND waitForWindow();
    // The script, then the program with the recording agent library.
    void startWith(const std::string &lines);
    // Calls the agent double logged, in order.
    std::vector<std::string> calls() const { return sandbox->loggedCalls(); }
    std::vector<std::string> callsStartingWith(const std::string &prefix) const;
    bool called(const std::string &call) const;
    int countCalls(const std::string &prefix) const;
    void clickRow(int row, bool doubleClick = false, WORD modifier = 0);
    void clickBelowRows();
    std::vector<std::string> rows();
    bool enabled(int buttonId) const;
    bool menuEnabled(int id);
    // Gives the key manager a command as its menu or a button would.
    void command(int id) { PostMessageA(window, WM_COMMAND, id, 0); }

    std::unique_ptr<e2e::Sandbox> sandbox;
    std::unique_ptr<e2e::App> app;
    HWND window = NULL;
    std::string sandboxBase; // where the sandbox goes; empty for the usual place
    std::string languageFolder = fixtureLanguageFolder(); // set before SetUp runs
};

// The same with the help file in place, in a sandbox short enough for
// Wine's help viewer, which cannot read a file whose path has 128
// characters or more; no viewer outlives the test.
class HelpApp : public AgentApp {
protected:
    HelpApp();
    void SetUp() override;
    void TearDown() override;
};

#endif
