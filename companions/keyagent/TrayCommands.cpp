#include "TrayCommands.h"

#include "AgentFiles.h"
#include "AgentLog.h"
#include "AgentResources.h"
#include "KeyFileRequest.h"
#include "LocalConfiguration.h"
#include "ModuleDirectory.h"
#include "PassphraseDialog.h"

#include <commdlg.h>

#include <cstdio>

using namespace agentcore;

namespace {

const char* const kManagerProgram = "gagent.exe";

std::string loaded(const AgentContext& context, UINT id) {
    char text[512] = "";
    loadLanguageString(context.texts, id, text, sizeof text);
    return text;
}

std::string withValue(const AgentContext& context, UINT id, const std::string& value) {
    char text[1024];
    std::snprintf(text, sizeof text, loaded(context, id).c_str(), value.c_str());
    return text;
}

void tell(const AgentContext& context, HWND owner, const std::string& text) {
    MessageBoxA(owner, text.c_str(), loaded(context, IDS_AGENT_TITLE).c_str(),
                MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
}

struct Request {
    AgentContext& context;
    const Bytes& message;
    Bytes reply;
};

DWORD WINAPI handleRequest(void* parameter) {
    auto* request = static_cast<Request*>(parameter);
    Session session;
    session.channel = Channel::Manager;
    try {
        request->context.handler.handle(request->message.data(), request->message.size(), session, request->reply);
    } catch (...) {
        request->reply.clear();
    }
    return 0;
}

// Keeps the agent's windows answering until the thread ends; a quit that
// comes meanwhile is passed on once it has.
void waitAnswering(HANDLE thread) {
    bool quit = false;
    int exitCode = 0;
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1 && !quit) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                exitCode = int(msg.wParam);
                break;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    WaitForSingleObject(thread, INFINITE);
    if (quit) PostQuitMessage(exitCode);
}

// One request to the agent's own handler, as from the key manager; the
// message is wiped (it may carry a passphrase). It runs on a thread of its
// own: an unlock waits its turn at the guess brake, seconds after wrong
// guesses from anywhere, and a key file's passphrase costs its key
// derivation, while the manager's messages and the icon go on being
// answered. Empty when there is no answer at all.
Bytes ask(AgentContext& context, Bytes& message) {
    Request request = {context, message, Bytes()};
    HANDLE thread = CreateThread(nullptr, 0, handleRequest, &request, 0, nullptr);
    if (thread) {
        waitAnswering(thread);
        CloseHandle(thread);
    }
    wipe(message);
    return request.reply;
}

bool succeeded(const Bytes& reply) { return !reply.empty() && reply[0] == SSH_AGENT_SUCCESS; }

Bytes withPassphrase(std::uint8_t number, const Bytes& passphrase) {
    WireWriter w;
    w.u8(number);
    w.string(passphrase);
    return w.take();
}

Bytes extensionRequest(const char* name, const Bytes& body) {
    WireWriter w;
    w.u8(SSH_AGENTC_EXTENSION);
    w.string(std::string(name));
    w.raw(body);
    return w.take();
}

// The file's outcome as the agent's core reports it; UNREADABLE for an
// answer that is not one.
std::uint32_t addKeyFile(AgentContext& context, const std::string& path, const Bytes& passphrase) {
    WireWriter body;
    body.string(path);
    body.string(passphrase);
    Bytes message = extensionRequest(kAddKeyFileExtension, body.bytes());
    Bytes reply = ask(context, message);
    WireReader in(reply.data(), reply.size());
    std::uint8_t number = 0;
    std::uint32_t outcome = KEYFILE_UNREADABLE;
    if (!in.u8(number) || number != SSH_AGENT_SUCCESS || !in.u32(outcome)) return KEYFILE_UNREADABLE;
    return outcome;
}

// The key folder the key manager opens too; the user's own .ssh when the
// product names none.
std::string keyFolder() {
    char folder[MAX_PATH];
    getUserKeyFolder(folder);
    if (folder[0]) return folder;
    char profile[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("USERPROFILE", profile, sizeof profile);
    return n && n < sizeof profile ? std::string(profile) + "\\.ssh" : std::string();
}

bool chooseKeyFile(const AgentContext& context, HWND owner, std::string& path) {
    char file[MAX_PATH] = "";
    std::string folder = keyFolder();
    std::string title = loaded(context, IDS_TRAY_ADD_KEY_TITLE);
    OPENFILENAMEA dialog;
    ZeroMemory(&dialog, sizeof dialog);
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.lpstrFile = file;
    dialog.nMaxFile = sizeof file;
    dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameA(&dialog)) return false;
    path = file;
    return true;
}

std::string fileNameOf(const std::string& path) {
    std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Why adding cannot even start, as the user is told; 0 when it can.
UINT addRefusal(const AgentContext& context) {
    if (context.store.locked()) return IDS_TRAY_ADD_LOCKED;
    if (!context.store.policies().allowAdd) return IDS_TRAY_ADD_NOT_ALLOWED;
    return 0;
}

void bringForward(HWND window) {
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(GetLastActivePopup(window));
}

void startKeyManager(const AgentContext& context, HWND owner) {
    char folder[MAX_PATH];
    getModuleDirectory(folder);
    std::string program = std::string(folder) + kManagerProgram;
    std::string line = "\"" + program + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, folder, &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        logLine("key manager started from the notification icon");
        return;
    }
    DWORD error = GetLastError();
    logLine("the key manager " + program + " could not be started (error " + std::to_string(error) + ")");
    char text[1024];
    std::snprintf(text, sizeof text, loaded(context, IDS_TRAY_MANAGER_NOT_STARTED).c_str(), program.c_str(),
                  static_cast<unsigned long>(error));
    tell(context, owner, text);
}

void unlock(AgentContext& context, HWND owner) {
    PassphraseQuestion question;
    question.prompt = loaded(context, IDS_TRAY_UNLOCK_PROMPT);
    Bytes passphrase;
    if (!askPassphrase(context.texts, owner, question, passphrase)) return;
    Bytes message = withPassphrase(SSH_AGENTC_UNLOCK, passphrase);
    wipe(passphrase);
    if (!succeeded(ask(context, message))) tell(context, owner, loaded(context, IDS_TRAY_UNLOCK_WRONG));
}

void lock(AgentContext& context, HWND owner) {
    Bytes message;
    if (!context.store.agentPassphrase().empty()) {
        message = extensionRequest(kLockWithAgentPassphrase, Bytes());
    } else {
        PassphraseQuestion question;
        question.prompt = loaded(context, IDS_TRAY_LOCK_PROMPT);
        question.twice = true;
        Bytes passphrase;
        if (!askPassphrase(context.texts, owner, question, passphrase)) return;
        message = withPassphrase(SSH_AGENTC_LOCK, passphrase);
        wipe(passphrase);
    }
    if (!succeeded(ask(context, message))) tell(context, owner, loaded(context, IDS_TRAY_LOCK_FAILED));
}

}  // namespace

void openKeyManager(AgentContext& context, HWND owner) {
    HWND manager = context.windows.firstHeld();
    if (!manager) {
        startKeyManager(context, owner);
        return;
    }
    bringForward(manager);
    logLine("key manager brought forward from the notification icon");
}

void addKeyFromFile(AgentContext& context, HWND owner) {
    if (UINT refusal = addRefusal(context)) {
        tell(context, owner, loaded(context, refusal));
        return;
    }
    std::string path;
    if (!chooseKeyFile(context, owner, path)) return;
    Bytes passphrase;
    for (;;) {
        std::uint32_t outcome = addKeyFile(context, path, passphrase);
        wipe(passphrase);
        UINT promptId = outcome == KEYFILE_NEEDS_PASSPHRASE   ? IDS_TRAY_KEY_PASSPHRASE
                        : outcome == KEYFILE_WRONG_PASSPHRASE ? IDS_TRAY_KEY_PASSPHRASE_WRONG
                                                              : 0;
        if (outcome == KEYFILE_ADDED) return;
        if (outcome == KEYFILE_REFUSED) {
            // Locked or forbidden since the check above.
            UINT refusal = addRefusal(context);
            tell(context, owner, loaded(context, refusal ? refusal : IDS_TRAY_ADD_NOT_ALLOWED));
            return;
        }
        if (promptId == 0) {
            tell(context, owner, withValue(context, IDS_TRAY_ADD_UNREADABLE, path));
            return;
        }
        PassphraseQuestion question;
        question.prompt = withValue(context, promptId, fileNameOf(path));
        if (!askPassphrase(context.texts, owner, question, passphrase)) return;
    }
}

void switchLock(AgentContext& context, HWND owner) {
    if (context.store.locked()) unlock(context, owner);
    else lock(context, owner);
}

void switchKeyUseNotice(AgentContext& context) {
    bool on = !context.notifyKeyUse;
    context.notifyKeyUse = on;
    bool saved = saveSettings(context.store.policies(), on);
    logLine(std::string("notice on each key use ") + (on ? "on" : "off") +
            (saved ? "" : ", but the settings file could not be written"));
}
