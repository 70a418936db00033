#include "ControlWindow.h"

#include "AgentChannel.h"
#include "AgentFiles.h"
#include "AgentLog.h"
#include "ObjectWindow.h"

#include <cstring>

using namespace agentcore;

namespace {

const char* const kTitle = "Glimmerpad Key Agent";

void windowEvent(const std::string& operation, const std::string& outcome) {
    AgentEvent event;
    event.operation = operation;
    event.outcome = outcome;
    logEvent(event);
}

const char* const kNoManager = "refused, no key manager is attached";

// Every key, the agent passphrase and the lock go; the policies stay.
LRESULT onReset(AgentContext& context) {
    if (!context.windows.anyHeld()) {
        windowEvent("reset", kNoManager);
        return 0;
    }
    context.store.reset();
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

LRESULT onPassphrase(AgentContext& context, HWND sender, const COPYDATASTRUCT* data) {
    if (!data || data->dwData != COPYDATA_AGENT_PASSPHRASE) return 0;
    if (!context.windows.holds(sender)) {
        windowEvent("set agent passphrase", "refused, not from an attached key manager window");
        return 0;
    }
    if (data->cbData != sizeof(AgentPassphrasePayload) || !data->lpData) {
        windowEvent("set agent passphrase", "refused, not a passphrase payload");
        return 0;
    }
    const auto* payload = static_cast<const AgentPassphrasePayload*>(data->lpData);
    Bytes current, replacement;
    bool ok = readPayloadText(payload->currentPassphrase, current) &&
              readPayloadText(payload->newPassphrase, replacement);
    const char* outcome = "refused, a text without its end";
    if (ok && context.store.locked()) {
        // The store refuses it too, unchecked; the log says why.
        ok = false;
        outcome = "refused, the agent is locked";
    } else if (ok) {
        ok = context.store.changeAgentPassphrase(current, replacement);
        outcome = ok ? (replacement.empty() ? "done, cleared" : "done") : "refused, the current passphrase does not match";
    }
    if (ok && !saveVerifier(verifierPath(), context.store.agentPassphrase()))
        outcome = "done, but it could not be stored and will not survive a restart";
    wipe(current);
    wipe(replacement);
    windowEvent("set agent passphrase", outcome);
    return ok ? 1 : 0;
}

LRESULT onPolicy(AgentContext& context, UINT message, LPARAM value) {
    Policies p = context.store.policies();
    bool on = value != 0;
    const char* name = "ConfirmKeyOp";
    if (message == WM_AGENT_SET_CONFIRM) p.confirmKeyOp = on;
    if (message == WM_AGENT_SET_ALLOW_ADD) p.allowAdd = on, name = "AllowAdd";
    if (message == WM_AGENT_SET_ALLOW_DELETE) p.allowDelete = on, name = "AllowDelete";
    if (!context.windows.anyHeld()) {
        windowEvent(std::string("policy ") + name + (on ? " yes" : " no"), kNoManager);
        return 0;
    }
    context.store.setPolicies(p);
    bool saved = saveSettings(p, context.notifyKeyUse);
    windowEvent(std::string("policy ") + name + (on ? " yes" : " no"),
                saved ? "done" : "applied, but the settings file could not be written");
    return 1;
}

LRESULT dispatch(HWND window, AgentContext& context, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_AGENT_RESET:
        return onReset(context);
    case WM_COPYDATA:
        return onPassphrase(context, reinterpret_cast<HWND>(wParam), reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    case WM_AGENT_SET_CONFIRM:
    case WM_AGENT_SET_ALLOW_ADD:
    case WM_AGENT_SET_ALLOW_DELETE:
        return onPolicy(context, message, lParam);
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

}  // namespace

HWND createControlWindow(AgentContext& context, HINSTANCE instance) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = objectWindowProc<AgentContext, dispatch>;
    wc.hInstance = instance;
    wc.lpszClassName = AGENT_WINDOW_CLASS;
    if (!RegisterClassA(&wc)) return nullptr;
    return CreateWindowExA(0, AGENT_WINDOW_CLASS, kTitle, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, &context);
}
