// The key agent process: OpenSSH's named pipe served from the portable
// core, one thread per client, and the hidden window through which the key
// manager finds and controls the agent.
//
// Command line (all optional): --pipe NAME (default openssh-ssh-agent),
// --log PATH (default gAgentLog.txt in the configured log folder),
// --confirm-timeout SECONDS (default 30: an unanswered confirmation denies),
// --started-by-library (a start that fails shows nothing; the library does).
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // named pipe client identity and remote-client rejection
#include <windows.h>

#include "AgentChannel.h"
#include "AgentFiles.h"
#include "AgentLog.h"
#include "AgentResources.h"
#include "ConfirmPrompt.h"
#include "KeyFileRequest.h"
#include "KeyGeneration.h"
#include "LifetimeClock.h"
#include "LocalConfiguration.h"
#include "Pageant.h"
#include "ProcessProtection.h"
#include "RequestHandler.h"
#include "UserIdentity.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

using namespace agentcore;

namespace {

const char* const kTitle = "Glimmerpad Key Agent";
const DWORD kBufferSize = 64 * 1024;

const unsigned long kLogLimit = 1024 * 1024;

std::string g_pipeName = AGENT_DEFAULT_PIPE;
std::string g_managerPipeName;
std::string g_logPath;
DWORD g_confirmTimeoutMs = 30000;
LanguageResources g_texts;
// Started by the agent library, which tells the user itself why a start
// failed, from the exit code.
bool g_startedByLibrary = false;
KeyStore* g_store;
RequestHandler* g_handler;
SECURITY_ATTRIBUTES g_ownerOnly;
PSID g_userSid;

// Windows the key manager attached: told of every change of the key set.
std::mutex g_windowsMutex;
std::vector<HWND> g_windows;

std::string defaultLogPath() {
    char path[MAX_PATH];
    getAgentLogPath(path);
    if (char* end = std::strrchr(path, '\\')) {
        // The installer names a per-user folder that may not exist yet.
        std::string folder(path, end);
        CreateDirectoryA(folder.c_str(), nullptr);
        return path;
    }
    // No log folder: the bare name would land wherever the agent was
    // started from, which may be a folder the user cannot write.
    char temp[MAX_PATH] = "";
    GetTempPathA(sizeof temp, temp);
    std::string folder = temp;
    if (!folder.empty() && folder.back() != '\\') folder += '\\';
    return folder + path;
}

bool currentUserSid() {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    auto* user = static_cast<TOKEN_USER*>(std::malloc(size));
    bool ok = user && GetTokenInformation(token, TokenUser, user, size, &size);
    CloseHandle(token);
    if (!ok) return false;
    DWORD sidSize = GetLengthSid(user->User.Sid);
    g_userSid = std::malloc(sidSize);
    CopySid(sidSize, g_userSid, user->User.Sid);
    std::free(user);
    return true;
}

// The pipe and the key files the agent writes are the user's alone: a DACL
// with one entry, for this user, protected so that a file takes nothing
// from its folder.
bool buildOwnerOnlySecurity() {
    DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(g_userSid);
    auto* acl = static_cast<ACL*>(std::malloc(aclSize));
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(std::malloc(SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!acl || !sd || !InitializeAcl(acl, aclSize, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, g_userSid) ||
        !InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION) || !SetSecurityDescriptorDacl(sd, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return false;
    g_ownerOnly.nLength = sizeof g_ownerOnly;
    g_ownerOnly.lpSecurityDescriptor = sd;
    g_ownerOnly.bInheritHandle = FALSE;
    return true;
}

// Which pipe a listener serves, and what its clients may ask.
struct PipeEndpoint {
    std::string name;
    Channel channel;
};
PipeEndpoint g_public;
PipeEndpoint g_manager;

HANDLE createPipeInstance(const PipeEndpoint& endpoint, bool first) {
    DWORD openMode = PIPE_ACCESS_DUPLEX | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    return CreateNamedPipeA(endpoint.name.c_str(), openMode,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                            PIPE_UNLIMITED_INSTANCES, kBufferSize, kBufferSize, 0, &g_ownerOnly);
}

// The DACL keeps other users out already; this also refuses a client whose
// identity cannot be established at all.
bool clientIsThisUser(HANDLE pipe, DWORD& pid) {
    if (!GetNamedPipeClientProcessId(pipe, &pid)) return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (!process) return false;
    HANDLE token;
    bool same = false;
    if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        auto* user = static_cast<TOKEN_USER*>(std::malloc(size));
        if (user && GetTokenInformation(token, TokenUser, user, size, &size)) same = EqualSid(user->User.Sid, g_userSid) != 0;
        std::free(user);
        CloseHandle(token);
    }
    CloseHandle(process);
    return same;
}

bool writeAll(HANDLE pipe, const Bytes& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        DWORD n = 0;
        if (!WriteFile(pipe, data.data() + done, DWORD(data.size() - done), &n, nullptr) || n == 0) return false;
        done += n;
    }
    return true;
}

struct Client {
    HANDLE pipe;
    Channel channel;
};

DWORD WINAPI serveClient(void* param) {
    Client client = *static_cast<Client*>(param);
    delete static_cast<Client*>(param);
    HANDLE pipe = client.pipe;
    DWORD pid = 0;
    if (clientIsThisUser(pipe, pid)) {
        Connection connection(*g_handler);
        connection.session().clientProcess = pid;
        connection.session().channel = client.channel;
        connection.session().clientGone = [pipe] {
            DWORD available = 0;
            return !PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr);
        };
        Bytes buffer(16 * 1024);
        for (;;) {
            DWORD n = 0;
            if (!ReadFile(pipe, buffer.data(), DWORD(buffer.size()), &n, nullptr) || n == 0) break;
            Bytes out;
            bool open = connection.receive(buffer.data(), n, out);
            if (!out.empty() && !writeAll(pipe, out)) break;
            if (!open) {
                // The failure must reach the client before the pipe goes.
                FlushFileBuffers(pipe);
                break;
            }
        }
        wipe(buffer);
    } else {
        logLine("refused a pipe client of another user or unknown identity (process " + std::to_string(pid) + ")");
    }
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    return 0;
}

struct Listener {
    const PipeEndpoint* endpoint;
    HANDLE first;
};

DWORD WINAPI listen(void* param) {
    const PipeEndpoint& endpoint = *static_cast<Listener*>(param)->endpoint;
    HANDLE pipe = static_cast<Listener*>(param)->first;
    delete static_cast<Listener*>(param);
    for (;;) {
        BOOL connected = ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        HANDLE next = createPipeInstance(endpoint, false);
        Client* client = connected ? new Client{pipe, endpoint.channel} : nullptr;
        HANDLE thread = client ? CreateThread(nullptr, 0, serveClient, client, 0, nullptr) : nullptr;
        if (thread) {
            CloseHandle(thread);
        } else {
            delete client;
            CloseHandle(pipe);
        }
        if (next == INVALID_HANDLE_VALUE) {
            logLine("cannot create another instance of " + endpoint.name + " (error " + std::to_string(GetLastError()) + ")");
            Sleep(1000);
            next = createPipeInstance(endpoint, false);
            if (next == INVALID_HANDLE_VALUE) continue;
        }
        pipe = next;
    }
}

bool startListener(const PipeEndpoint& endpoint, HANDLE first) {
    HANDLE thread = CreateThread(nullptr, 0, listen, new Listener{&endpoint, first}, 0, nullptr);
    if (thread) CloseHandle(thread);
    return thread != nullptr;
}

HANDLE g_expiryWake;

// Posted, never sent: the agent must not wait for a manager that may be
// waiting on the refresh event itself.
void announceChange() {
    std::lock_guard<std::mutex> lock(g_windowsMutex);
    std::vector<HWND> alive;
    for (HWND w : g_windows) {
        if (IsWindow(w) && PostMessageA(w, WM_AGENT_REFRESH, 0, 0)) alive.push_back(w);
    }
    g_windows.swap(alive);
}

void onStoreChange() {
    announceChange();
    // A new lifetime may end sooner than the one being waited for.
    if (g_expiryWake) SetEvent(g_expiryWake);
}

bool rememberWindow(HWND window) {
    if (!IsWindow(window)) return false;
    std::lock_guard<std::mutex> lock(g_windowsMutex);
    for (HWND w : g_windows)
        if (w == window) return true;
    g_windows.push_back(window);
    return true;
}

bool attachWindow(WireReader& body, Session&, WireWriter& reply) {
    std::uint32_t high, low;
    if (!body.u32(high) || !body.u32(low) || !body.atEnd()) {
        body.fail();
        return false;
    }
    HWND window = reinterpret_cast<HWND>(static_cast<UINT_PTR>((std::uint64_t(high) << 32) | low));
    if (!rememberWindow(window)) return false;
    reply.u8(SSH_AGENT_SUCCESS);
    return true;
}

bool confirmKeyUse(const KeyInfo& key, std::uint64_t clientProcess) {
    return askToConfirm(g_texts, keyUseQuestion(key.name, key.fingerprint, clientProcess), g_confirmTimeoutMs);
}

void windowEvent(const std::string& operation, const std::string& outcome) {
    AgentEvent event;
    event.operation = operation;
    event.outcome = outcome;
    logEvent(event);
}

// Every key, the agent passphrase and the lock go; the policies stay.
LRESULT onReset() {
    g_store->reset();
    bool saved = saveVerifier(verifierPath(), Verifier());
    windowEvent("reset", saved ? "done, every key removed, agent passphrase cleared, unlocked"
                               : "done, but the stored agent passphrase could not be removed");
    return 1;
}

// Each text must end inside its field; anything else is not the manager's
// payload and changes nothing.
bool readPayloadText(const char* field, Bytes& out) {
    const void* end = std::memchr(field, 0, sizeof(AgentPassphrasePayload::currentPassphrase));
    if (!end) return false;
    out.assign(field, static_cast<const char*>(end));
    return true;
}

LRESULT onPassphrase(HWND sender, const COPYDATASTRUCT* data) {
    if (!data || data->dwData != COPYDATA_AGENT_PASSPHRASE) return 0;
    rememberWindow(sender);
    if (data->cbData != sizeof(AgentPassphrasePayload) || !data->lpData) {
        windowEvent("set agent passphrase", "refused, not a passphrase payload");
        return 0;
    }
    const auto* payload = static_cast<const AgentPassphrasePayload*>(data->lpData);
    Bytes current, replacement;
    bool ok = readPayloadText(payload->currentPassphrase, current) &&
              readPayloadText(payload->newPassphrase, replacement);
    const char* outcome = "refused, a text without its end";
    if (ok) {
        ok = g_store->changeAgentPassphrase(current, replacement);
        outcome = ok ? (replacement.empty() ? "done, cleared" : "done") : "refused, the current passphrase does not match";
    }
    if (ok && !saveVerifier(verifierPath(), g_store->agentPassphrase()))
        outcome = "done, but it could not be stored and will not survive a restart";
    wipe(current);
    wipe(replacement);
    windowEvent("set agent passphrase", outcome);
    return ok ? 1 : 0;
}

LRESULT onPolicy(UINT message, LPARAM value) {
    Policies p = g_store->policies();
    bool on = value != 0;
    const char* name = "ConfirmKeyOp";
    if (message == WM_AGENT_SET_CONFIRM) p.confirmKeyOp = on;
    if (message == WM_AGENT_SET_ALLOW_ADD) p.allowAdd = on, name = "AllowAdd";
    if (message == WM_AGENT_SET_ALLOW_DELETE) p.allowDelete = on, name = "AllowDelete";
    g_store->setPolicies(p);
    bool saved = savePolicies(p);
    windowEvent(std::string("policy ") + name + (on ? " yes" : " no"),
                saved ? "done" : "applied, but the settings file could not be written");
    return 1;
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_AGENT_RESET:
        return onReset();
    case WM_COPYDATA:
        return onPassphrase(reinterpret_cast<HWND>(wParam), reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    case WM_AGENT_SET_CONFIRM:
    case WM_AGENT_SET_ALLOW_ADD:
    case WM_AGENT_SET_ALLOW_DELETE:
        return onPolicy(message, lParam);
    case WM_AGENT_LOCK_CHANGED:
        // The lock itself went through the pipe, which told every window.
        return 1;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void readCommandLine() {
    int argc = __argc;
    char** argv = __argv;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], AGENT_STARTED_BY_LIBRARY) == 0) g_startedByLibrary = true;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--pipe") == 0) {
            g_pipeName = argv[++i];
            if (g_pipeName.find('\\') == std::string::npos) g_pipeName = "\\\\.\\pipe\\" + g_pipeName;
        } else if (std::strcmp(argv[i], "--log") == 0) {
            g_logPath = argv[++i];
        } else if (std::strcmp(argv[i], "--confirm-timeout") == 0) {
            long seconds = std::strtol(argv[++i], nullptr, 10);
            if (seconds > 0 && seconds <= 3600) g_confirmTimeoutMs = DWORD(seconds) * 1000;
        }
    }
    if (g_logPath.empty()) g_logPath = defaultLogPath();
    openAgentLog(g_logPath, kLogLimit);
}

void tellPipeTaken(DWORD error) {
    char format[512], title[128], text[1024];
    loadLanguageString(g_texts, IDS_PIPE_TAKEN, format, sizeof format);
    loadLanguageString(g_texts, IDS_AGENT_TITLE, title, sizeof title);
    std::snprintf(text, sizeof text, format, g_pipeName.c_str(), static_cast<unsigned long>(error));
    MessageBoxA(nullptr, text, title, MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
}

std::string sidText() {
    // A text form of the SID without sddl.h: revision, authority, subauthorities.
    std::string s = "S-1";
    SID_IDENTIFIER_AUTHORITY* a = GetSidIdentifierAuthority(g_userSid);
    s += "-" + std::to_string(unsigned(a->Value[5]));
    UCHAR count = *GetSidSubAuthorityCount(g_userSid);
    for (UCHAR i = 0; i < count; ++i) s += "-" + std::to_string(*GetSidSubAuthority(g_userSid, i));
    return s;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    g_texts = languageResourcesOf(instance);
    readCommandLine();
    if (!currentUserSid() || !buildOwnerOnlySecurity()) return 1;
    protectAgentProcess(g_userSid);

    // One agent per user: a second start leaves quietly.
    std::string mutexName = "Local\\Glimmerpad_KeyAgent_" + sidText();
    HANDLE single = CreateMutexA(nullptr, FALSE, mutexName.c_str());
    if (!single || GetLastError() == ERROR_ALREADY_EXISTS) return 0;

    g_public = PipeEndpoint{g_pipeName, Channel::Public};
    g_manager = PipeEndpoint{managerPipeName(g_pipeName), Channel::Manager};
    HANDLE first = createPipeInstance(g_public, true);
    if (first == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        std::string why = "the pipe " + g_pipeName + " is already served by another program (error " +
                          std::to_string(error) +
                          "), perhaps Windows' own OpenSSH agent service; this agent cannot serve it and stops";
        logLine(why);
        if (!g_startedByLibrary) tellPipeTaken(error);
        return AGENT_EXIT_PIPE_TAKEN;
    }

    initCrypto();
    KeyStore store;
    store.setClock(sleepCountingMilliseconds);
    RequestHandler handler(store);
    g_store = &store;
    g_handler = &handler;
    handler.addExtension(kAttachWindow, attachWindow);
    handler.addExtension(kAddKeyFileExtension, addKeyFileExtension(store));
    addKeyGeneration(handler, store, &g_ownerOnly);
    handler.setConfirmPrompt(confirmKeyUse);
    store.setEventSink(logEvent);
    store.setPolicies(loadPolicies());
    store.restoreAgentPassphrase(loadVerifier(verifierPath()));
    g_expiryWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    store.setChangeListener(onStoreChange);
    // Keys with a lifetime go when it ends, whether or not anyone asks for them.
    ExpiryWatch expiry(g_expiryWake, [&store] { return store.untilNextExpiry(); }, [&store] { store.expire(); });
    if (!g_expiryWake || !expiry.start(instance)) return 1;

    // Shared with the manager, which waits for it to be signalled before it
    // reads the key list; the agent only makes sure it exists, signalled.
    HANDLE refreshEvent = CreateEventA(nullptr, TRUE, TRUE, AGENT_REFRESH_EVENT);

    WNDCLASSA wc = {};
    wc.lpfnWndProc = windowProc;
    wc.hInstance = instance;
    wc.lpszClassName = AGENT_WINDOW_CLASS;
    if (!RegisterClassA(&wc)) return 1;
    HWND window = CreateWindowExA(0, AGENT_WINDOW_CLASS, kTitle, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    if (!window) return 1;

    // The manager's own pipe: should another program hold its name, the
    // library finds that program at the other end and refuses it.
    HANDLE firstManager = g_manager.name.empty() ? INVALID_HANDLE_VALUE : createPipeInstance(g_manager, true);
    if (firstManager == INVALID_HANDLE_VALUE)
        logLine("cannot serve the key manager's pipe " + g_manager.name + " (error " + std::to_string(GetLastError()) + ")");
    else if (!startListener(g_manager, firstManager))
        return 1;
    if (!startListener(g_public, first)) return 1;
    Policies policies = store.policies();
    logLine("agent started on " + g_pipeName + "; policies ConfirmKeyOp " + (policies.confirmKeyOp ? "yes" : "no") +
            ", AllowAdd " + (policies.allowAdd ? "yes" : "no") + ", AllowDelete " + (policies.allowDelete ? "yes" : "no") +
            (store.agentPassphrase().empty() ? "; no agent passphrase" : "; agent passphrase set"));
    PageantStart pageant = startPageant(handler, g_userSid, instance);
    if (pageant != PageantStart::Serving)
        logLine(pageant == PageantStart::TakenByAnother
                    ? "another program's Pageant window serves PuTTY's clients; this agent leaves it alone"
                    : "the Pageant window could not be opened; PuTTY's clients are not served");

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    // Keys go before the process does; client threads still blocked in a
    // read end with it.
    stopPageant();
    store.setChangeListener(nullptr);
    store.setEventSink(nullptr);
    store.reset();
    logLine("agent stopped");
    if (refreshEvent) CloseHandle(refreshEvent);
    ExitProcess(0);
}
