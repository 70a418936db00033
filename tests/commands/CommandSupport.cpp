#include "CommandSupport.h"

#include "AgentChannel.h"
#include "InProcessSupport.h"
#include "InstallerSupport.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

namespace commands {

namespace {

const DWORD GONE_TIMEOUT_MS = 10000;

// Waits stretch under emulation, like the end-to-end driver's.
DWORD scaled(DWORD ms)
{
    char factor[16] = "";
    GetEnvironmentVariableA("GAGENT_TEST_TIMEOUT_SCALE", factor, sizeof factor);
    int scale = atoi(factor);
    return scale > 1 ? ms * static_cast<DWORD>(scale) : ms;
}

std::string textOf(HWND window)
{
    char text[2048] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string classOf(HWND window)
{
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

struct Search {
    const std::string *caption;
    HWND found;
};

BOOL CALLBACK findDialog(HWND window, LPARAM param)
{
    Search *search = reinterpret_cast<Search *>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && IsWindowVisible(window) && classOf(window) == "#32770" &&
        (search->caption == NULL || (IsWindowEnabled(window) && textOf(window) == *search->caption))) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND findDialogNamed(const std::string *caption)
{
    Search search = {caption, NULL};
    EnumWindows(findDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

BOOL CALLBACK readMessage(HWND child, LPARAM param)
{
    std::string *text = reinterpret_cast<std::string *>(param);
    if (classOf(child) == "Static" && (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON &&
        text->empty())
        *text = textOf(child);
    return TRUE;
}

void endEveryDialog()
{
    for (int i = 0; i < 20; ++i) {
        HWND open = findDialogNamed(NULL);
        if (open == NULL)
            return;
        PostMessageA(open, WM_COMMAND, IDCANCEL, 0);
        PostMessageA(open, WM_CLOSE, 0, 0);
        Sleep(200);
    }
}

} // namespace

HMODULE englishModule()
{
    static HMODULE module = [] {
        char stage[MAX_PATH] = "";
        GetEnvironmentVariableA("GAGENT_TEST_STAGE", stage, sizeof stage);
        std::string path = std::string(stage) + "\\1033\\gagent.dll";
        return LoadLibraryA(path.c_str());
    }();
    return module;
}

DialogDriver::DialogDriver(std::vector<Step> script) : steps(std::move(script))
{
    worker = std::thread([this] { run(); });
}

DialogDriver::~DialogDriver()
{
    finish();
}

const std::vector<Step> &DialogDriver::finish()
{
    if (worker.joinable())
        worker.join();
    return steps;
}

void DialogDriver::run()
{
    for (Step &step : steps) {
        HWND dialog = NULL;
        for (DWORD waited = 0; dialog == NULL && waited < scaled(step.timeoutMs); waited += 10) {
            dialog = findDialogNamed(&step.caption);
            if (dialog == NULL)
                Sleep(10);
        }
        if (dialog == NULL) {
            endEveryDialog();
            return;
        }
        step.seen = true;
        step.window = dialog;
        step.owner = GetWindow(dialog, GW_OWNER);
        EnumChildWindows(dialog, readMessage, reinterpret_cast<LPARAM>(&step.text));
        for (int id : step.readIds)
            step.readTexts.push_back(textOf(GetDlgItem(dialog, id)));
        for (const auto &field : step.fields)
            SetDlgItemTextA(dialog, field.first, field.second.c_str());
        for (const auto &field : step.typed)
            for (const char *key = field.second; *key != '\0'; ++key)
                SendDlgItemMessageA(dialog, field.first, WM_CHAR, static_cast<unsigned char>(*key), 0);
        if (step.button == 0)
            PostMessageA(dialog, WM_CLOSE, 0, 0);
        else
            PostMessageA(dialog, WM_COMMAND, step.button, 0);
        if (step.staysOpen) {
            Sleep(scaled(300));
            continue;
        }
        // Gone, or covered by a box of its own.
        for (DWORD waited = 0; IsWindow(dialog) && IsWindowEnabled(dialog) && waited < scaled(GONE_TIMEOUT_MS);
             waited += 10)
            Sleep(10);
    }
}

bool anyDialogVisible()
{
    return findDialogNamed(NULL) != NULL;
}

AgentStatus RecordingAgent::lock()
{
    calls.push_back("lock");
    return lockStatus;
}

AgentStatus RecordingAgent::unlock(const char *passphrase)
{
    if (passphrase != NULL && !keepsPassphrases)
        calls.push_back("unlock " + std::to_string(strlen(passphrase)) + " characters");
    else
        calls.push_back(std::string("unlock ") + (passphrase != NULL ? passphrase : "(null)"));
    return unlockStatus;
}

AgentWindowDouble::AgentWindowDouble(LRESULT answer) : copyDataAnswer(answer)
{
    static ATOM windowClass = 0;
    if (windowClass == 0) {
        WNDCLASSA description;
        ZeroMemory(&description, sizeof description);
        description.lpfnWndProc = procedure;
        description.hInstance = GetModuleHandleA(NULL);
        description.lpszClassName = AGENT_WINDOW_CLASS;
        windowClass = RegisterClassA(&description);
    }
    handle = CreateWindowExA(0, AGENT_WINDOW_CLASS, "", WS_POPUP, 0, 0, 0, 0, NULL, NULL, GetModuleHandleA(NULL),
                             this);
}

AgentWindowDouble::~AgentWindowDouble()
{
    DestroyWindow(handle);
}

LRESULT CALLBACK AgentWindowDouble::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        CREATESTRUCTA *creation = reinterpret_cast<CREATESTRUCTA *>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    AgentWindowDouble *self = reinterpret_cast<AgentWindowDouble *>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self == NULL)
        return DefWindowProcA(window, message, wParam, lParam);
    if (message == WM_COPYDATA) {
        const COPYDATASTRUCT *data = reinterpret_cast<const COPYDATASTRUCT *>(lParam);
        self->messages.push_back(std::to_string(message) + " copydata");
        std::string bytes;
        if (self->keepsPayloads)
            bytes.assign(static_cast<const char *>(data->lpData), data->cbData);
        self->copies.push_back(CopyData{reinterpret_cast<HWND>(wParam), data->dwData, data->cbData, bytes});
        return self->copyDataAnswer;
    }
    if (message >= WM_USER && message < WM_USER + 16) {
        self->messages.push_back(std::to_string(message) + " " + std::to_string(wParam) + " " +
                                 std::to_string(lParam));
        return 1;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool takeQuitMessage()
{
    MSG message;
    return PeekMessageA(&message, NULL, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

void ManagerTest::SetUp()
{
    ASSERT_NE(englishModule(), (HMODULE)NULL) << "GAGENT_TEST_STAGE";
    owner = inprocess::createPlainWindow(100, 100, 500, 400);
    manager.reset(new KeyManagerDialog(englishModule(), NULL));
    manager->window = owner;
}

void ManagerTest::TearDown()
{
    // Borrowed from the test: the key manager must not release them.
    manager->agent = NULL;
    manager->agentLibrary = NULL;
    manager.reset();
    DestroyWindow(owner);
    takeQuitMessage();
}

} // namespace commands

// The program's repair call imports the installer library by ordinal; the
// commands under test never reach it.
void offerInstallationRepair()
{
    ADD_FAILURE() << "the installation repair was offered";
}
