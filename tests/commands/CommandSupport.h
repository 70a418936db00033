// What the in-process tests of the key manager's commands share: the real
// English resource module, a key manager object over a plain window, an
// agent library object and an agent window that record what reaches them,
// and a thread that answers the dialogs a command opens as a user would.
#ifndef GAGENT_TEST_COMMANDSUPPORT_H
#define GAGENT_TEST_COMMANDSUPPORT_H

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "IAgent.h"
#include "KeyManagerDialog.h"

namespace commands {

// 1033\gagent.dll of the stage under test, loaded once.
HMODULE englishModule();

// One dialog the user answers: wait for it by caption (while it is the
// enabled one, so a dialog under a message box waits), set its fields,
// type into others, then press `button`.
struct Step {
    std::string caption;
    std::vector<std::pair<int, std::string>> fields;
    // Typed key by key as a user does, which leaves no copy of the text on
    // the way (setting a field's text does); literals, so that the step
    // holds no copy on the heap either.
    std::vector<std::pair<int, const char *>> typed;
    int button; // 0: close it with WM_CLOSE
    DWORD timeoutMs = 10000;
    bool staysOpen = false;  // the button is expected to leave it open
    std::vector<int> readIds; // controls whose texts are read on arrival
    // What was seen
    bool seen = false;
    HWND window = NULL;
    HWND owner = NULL;
    std::string text; // a message box's message
    std::vector<std::string> readTexts;
};

inline Step answer(const std::string &caption, int button, std::vector<std::pair<int, std::string>> fields = {})
{
    Step step;
    step.caption = caption;
    step.button = button;
    step.fields = std::move(fields);
    return step;
}

inline Step typing(const std::string &caption, int button, std::vector<std::pair<int, const char *>> typed)
{
    Step step = answer(caption, button);
    step.typed = std::move(typed);
    return step;
}

// Works through the steps on a thread of its own while the test thread
// runs the command. A step that does not come in time ends every dialog
// still open, so that the command returns and the test fails.
class DialogDriver {
public:
    explicit DialogDriver(std::vector<Step> steps);
    ~DialogDriver();
    // Waits for the thread; the steps with what was seen.
    const std::vector<Step> &finish();

private:
    void run();
    std::vector<Step> steps;
    std::thread worker;
};

// Any visible dialog of this process (for tests that expect none).
bool anyDialogVisible();

// The agent library's object, recording its calls ("lock", "unlock <text>",
// or "unlock <n> characters" when it keeps no passphrase).
class RecordingAgent : public IAgent {
public:
    std::vector<std::string> calls;
    bool keepsPassphrases = true;
    AgentStatus lockStatus = AGENT_OK;
    AgentStatus unlockStatus = AGENT_OK;

    void *destroy(unsigned int) { return this; }
    void attachWindow(HWND) {}
    BOOL isAgentAvailable() { return TRUE; }
    AgentStatus lock();
    AgentStatus unlock(const char *passphrase);
    BOOL isLocked() { return FALSE; }
    AgentStatus getKeyList(KeyListEntry **, UINT32 *) { return 1; }
    void freeKeyList(KeyListEntry **, UINT32) {}
    AgentStatus addKey(const char *) { return AGENT_OK; }
    AgentStatus generateKey(const char *, KeyTypeCode, UINT32) { return AGENT_OK; }
    AgentStatus removeKey(const char *) { return AGENT_OK; }
    AgentStatus applyKeyText(const char *, const char *, const char *) { return AGENT_OK; }
    AgentStatus exportPublicKey(const char *, INT32, const char *) { return AGENT_OK; }
    BOOL isRestrictedMode() { return FALSE; }
    BOOL initialize() { return TRUE; }
};

// The agent process's hidden window, in this process and thread.
class AgentWindowDouble {
public:
    explicit AgentWindowDouble(LRESULT copyDataAnswer = 1);
    ~AgentWindowDouble();

    struct CopyData {
        HWND sender;
        ULONG_PTR kind;
        DWORD size;
        std::string bytes;
    };
    // Every message of the agent channel, in order: "<message> <wParam> <lParam>".
    std::vector<std::string> messages;
    std::vector<CopyData> copies; // without their bytes unless keepsPayloads
    bool keepsPayloads = true;
    LRESULT copyDataAnswer;
    HWND handle;

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

// Removes a quit message the code under test posted; whether there was one.
bool takeQuitMessage();

// A key manager object over a plain window of the test, with the English
// resources and no agent library: the commands run as its handlers.
class ManagerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    HWND owner = NULL;
    std::unique_ptr<KeyManagerDialog> manager;
};

} // namespace commands

#endif
