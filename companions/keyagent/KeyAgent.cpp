// The key agent process: its pipes (PipeServer), its hidden window
// (ControlWindow), its notification icon (TrayWindow) and PuTTY's window
// (Pageant) put together around one key
// store, the thread that ends key lifetimes, and the process's protection.
#include <windows.h>

#include "AgentChannel.h"
#include "AgentContext.h"
#include "AgentFiles.h"
#include "AgentLog.h"
#include "AgentResources.h"
#include "ClientPath.h"
#include "CngSigner.h"
#include "ConfirmPrompt.h"
#include "ControlWindow.h"
#include "KeyFileRequest.h"
#include "KeyGeneration.h"
#include "LifetimeClock.h"
#include "Pageant.h"
#include "PipeConflict.h"
#include "PipeServer.h"
#include "ProcessProtection.h"
#include "TrayWindow.h"

#include <cstdio>
#include <cstdlib>  // __argc, __argv

using namespace agentcore;

namespace {

const unsigned long kLogLimit = 1024 * 1024;

// The public pipe serves every program of the user and every host the
// agent is forwarded to; the manager's pipe one key manager, which must
// reach the agent however busy the public one is.
const PipeLimits kPublicLimits = {512, 32};
const PipeLimits kManagerLimits = {64, 8};

// A program holding the public pipe may have every instance busy; it is
// named only if an instance comes free this soon.
const DWORD kHolderWait = 500;

bool confirmKeyUse(const AgentContext& context, const KeyInfo& key, const SignDestination& destination,
                   std::uint64_t clientProcess) {
    return askToConfirm(context.texts, keyUseQuestion(key, destination, clientProcess), context.options.confirmTimeoutMs);
}

std::string textOf(const LanguageResources& texts, UINT id) {
    char text[1024] = "";
    loadLanguageString(texts, id, text, sizeof text);
    return text;
}

// The holder named, and Windows' own agent with the commands that stop it;
// the plain reason when Windows cannot tell who holds the pipe.
void tellPipeTaken(const LanguageResources& texts, const std::string& pipe, DWORD error, const ServerProcess& holder,
                   PipeHolderKind kind) {
    PipeConflictTexts conflict = {textOf(texts, IDS_PIPE_TAKEN_BY_SERVICE), textOf(texts, IDS_PIPE_TAKEN_BY_PROGRAM),
                                  textOf(texts, IDS_PIPE_HOLDER_UNREADABLE)};
    std::string message = pipeConflictMessage(conflict, pipe, holder, kind);
    if (message.empty()) {
        char plain[1024];
        std::snprintf(plain, sizeof plain, textOf(texts, IDS_PIPE_TAKEN).c_str(), pipe.c_str(),
                      static_cast<unsigned long>(error));
        message = plain;
    }
    MessageBoxA(nullptr, message.c_str(), textOf(texts, IDS_AGENT_TITLE).c_str(),
                MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
}

// Logged whoever started the agent: the library, which tells the user
// itself, leaves only this trace of the holder on the agent's side.
void reportPipeTaken(const AgentContext& context, DWORD error) {
    const std::string& pipe = context.options.pipeName;
    ServerProcess holder = pipeHolder(pipe, kHolderWait);
    PipeHolderKind kind = kindOfHolder(holder);
    logLine("the pipe " + pipe + " is already held by " + holderDescription(holder, kind) + " (error " +
            std::to_string(error) + "); this agent cannot take it and stops");
    if (!context.options.startedByLibrary) tellPipeTaken(context.texts, pipe, error, holder, kind);
}

void logStart(const AgentContext& context) {
    Policies policies = context.store.policies();
    logLine("agent started on " + context.options.pipeName + "; policies ConfirmKeyOp " +
            (policies.confirmKeyOp ? "yes" : "no") + ", AllowAdd " + (policies.allowAdd ? "yes" : "no") +
            ", AllowDelete " + (policies.allowDelete ? "yes" : "no") +
            (context.store.agentPassphrase().empty() ? "; no agent passphrase" : "; agent passphrase set"));
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    LanguageResources texts = languageResourcesOf(instance);
    AgentOptions options = readAgentOptions(__argc, __argv);
    openAgentLog(options.logPath, kLogLimit);
    UserSecurity security;
    if (!security.build()) return 1;
    protectAgentProcess(security.user().get());

    // One agent per user: a second start leaves quietly.
    std::string mutexName = "Local\\Glimmerpad_KeyAgent_" + security.user().text();
    HANDLE single = CreateMutexA(nullptr, FALSE, mutexName.c_str());
    if (!single || GetLastError() == ERROR_ALREADY_EXISTS) return 0;

    initCrypto();
    KeyStore store;
    store.setClock(sleepCountingMilliseconds);
    store.setPlatformSigner(std::make_shared<CngSigner>());
    RequestHandler handler(store);
    AgentContext context(store, handler, texts, options, security);

    PipeServer publicPipe(context, PipeEndpoint{options.pipeName, Channel::Public}, kPublicLimits);
    if (!publicPipe.claim()) {
        reportPipeTaken(context, GetLastError());
        return AGENT_EXIT_PIPE_TAKEN;
    }

    handler.addExtension(kAttachWindow, attachWindowExtension(context.windows));
    handler.addExtension(kAddKeyFileExtension, addKeyFileExtension(store, clientPathRefusal));
    addKeyGeneration(handler, store, security.ownerOnly());
    handler.setConfirmPrompt(
        [&context](const KeyInfo& key, const SignDestination& destination, std::uint64_t clientProcess) {
            return confirmKeyUse(context, key, destination, clientProcess);
        });
    handler.setSignNotice(
        [&context](const KeyInfo& key, const SignDestination& destination, std::uint64_t clientProcess) {
            announceKeyUse(context, key, destination, clientProcess);
        });
    store.setEventSink(logEvent);
    bool notifyKeyUse = false;
    store.setPolicies(loadPolicies(&notifyKeyUse));
    context.notifyKeyUse = notifyKeyUse;
    store.restoreAgentPassphrase(loadVerifier(verifierPath()));
    HANDLE expiryWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    store.setChangeListener([&context, expiryWake] {
        context.windows.announceChange();
        announceTrayChange(context.trayWindow);
        // A new lifetime may end sooner than the one being waited for.
        SetEvent(expiryWake);
    });
    // Keys with a lifetime go when it ends, whether or not anyone asks for them.
    ExpiryWatch expiry(expiryWake, [&store] { return store.untilNextExpiry(); }, [&store] { store.expire(); });
    if (!expiryWake || !expiry.start(instance)) return 1;

    // Shared with the manager, which waits for it to be signalled before it
    // reads the key list; the agent only makes sure it exists, signalled.
    HANDLE refreshEvent = CreateEventA(nullptr, TRUE, TRUE, AGENT_REFRESH_EVENT);

    // Logged before any client can be served, so that every request's line
    // follows it.
    logStart(context);

    // The manager's own pipe: should another program hold its name, the
    // library finds that program at the other end and refuses it. Served
    // before the window exists, which tells the manager that the agent is
    // there.
    PipeServer managerPipe(context, PipeEndpoint{managerPipeName(options.pipeName), Channel::Manager}, kManagerLimits);
    if (managerPipe.endpoint().name.empty() || !managerPipe.claim())
        logLine("cannot serve the key manager's pipe " + managerPipe.endpoint().name + " (error " +
                std::to_string(GetLastError()) + ")");
    else if (!managerPipe.start())
        return 1;
    if (!publicPipe.start()) return 1;

    HWND window = createControlWindow(context, instance);
    if (!window) return 1;
    // The agent serves without its icon, as it did before it had one.
    context.trayWindow = createTrayWindow(context, instance, window);
    if (!context.trayWindow) logLine("the notification icon's window could not be made; no icon is shown");
    PageantStart pageant = startPageant(handler, security.user().get(), instance);
    if (pageant != PageantStart::Serving)
        logLine(pageant == PageantStart::TakenByAnother
                    ? "another program's Pageant window serves PuTTY's clients; this agent leaves it alone"
                    : "the Pageant window could not be opened; PuTTY's clients are not served");

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    // Keys go before the process does; workers still answering a client
    // end with it.
    stopPageant();
    destroyTrayWindow(context.trayWindow.exchange(nullptr));
    store.setChangeListener(nullptr);
    store.setEventSink(nullptr);
    store.reset();
    logLine("agent stopped");
    if (refreshEvent) CloseHandle(refreshEvent);
    ExitProcess(0);
}
