// The whole product in a sandbox: the key manager with the real agent
// library, the agent it starts and the real installer-support library, read
// and driven as a user would. Each test has its own pipe, profile (the key
// folder) and application data; the agent, which inherits them from the
// manager, is stopped when the test ends, as only one runs per session.
// What needs Linux (ssh-add, ssh logins, ssh-keygen's checks) is asked of
// run-product-tests.sh through request files.
#ifndef GAGENT_TEST_PRODUCTAPP_H
#define GAGENT_TEST_PRODUCTAPP_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Driver.h"
#include "LocalSetup.h"

struct PeerAnswer {
    int status;         // the tool's exit status; -1 when the script did not answer
    std::string output; // its output, lines joined by '\n'
};

// One row of the key list.
struct KeyRow {
    std::string name, type, detail;
};

class ProductApp : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The manager, up to its window (which shows only once the library has
    // connected to an agent or given up).
    void start();
    // The agent process's hidden window; null when none runs.
    static HWND agentWindow();
    // Closes the agent as Stop Agent would and waits until its process has
    // ended; false when it had to be terminated.
    static bool stopAgent();

    // The key list
    std::vector<KeyRow> rows();
    bool waitForRowCount(size_t count);
    // The row whose detail shows this fingerprint; -1 when none does.
    int rowWithFingerprint(const std::string &fingerprint);
    void select(int row);
    void clickBelowRows();
    bool enabled(int buttonId) const;
    bool menuEnabled(int id);
    bool menuChecked(int id);

    // Commands and their windows
    void command(int id);
    HWND dialogOf(int id, const std::string &caption);
    static void setField(HWND dialog, int id, const std::string &text);
    static std::string field(HWND dialog, int id);
    bool closeWith(HWND dialog, int button);
    // The message box owned by `owner`: its caption and text, and closed
    // with `button`; empty when none came.
    std::string closeBoxOwnedBy(HWND owner, std::string *caption = NULL, int button = IDOK);
    // Types a path into the file dialog that command `id` opened.
    void chooseFile(const std::string &caption, const std::string &path);
    void addKeyFile(const std::string &path);
    // Answers the library's key file passphrase prompt; false when none came.
    bool answerKeyPassphrase(const std::string &passphrase, bool cancel = false, std::string *retryText = NULL);
    void setAgentPassphrase(const std::string &current, const std::string &replacement);
    void unlock(const std::string &passphrase);

    // The Linux side: ssh-add through the bridge to this test's pipe, or an
    // ssh login authorised for one public key file (paths below the work
    // folder, with forward slashes).
    PeerAnswer peer(const std::string &verb, const std::string &file = "");
    // WORK\keys\<name>, and the fingerprint ssh-keygen gave its public half.
    std::string keyFile(const std::string &name) const;
    std::string fingerprintOf(const std::string &keyName) const;
    // A path of the sandbox as the script names it.
    std::string belowWork(const std::string &path) const;
    // A file for the script to check once the tests have ended.
    void checkLater(const std::string &kind, const std::string &path, const std::string &fingerprint);

    std::unique_ptr<e2e::Sandbox> sandbox;
    std::unique_ptr<e2e::App> app;
    std::unique_ptr<e2e::SavedFolderValues> registry;
    HWND window = NULL;
    std::string work, pipe, home, appData, keyFolder, passphrase;
};

// The fingerprint ("SHA256:...") a detail text shows; empty when none.
std::string fingerprintIn(const std::string &detail);

#endif
