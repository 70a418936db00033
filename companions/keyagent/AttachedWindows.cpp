#include "AttachedWindows.h"

#include "AgentChannel.h"

using namespace agentcore;

bool AttachedWindows::counts(const Attached& attached) {
    DWORD process = 0;
    return attached.process != 0 && IsWindow(attached.window) &&
           GetWindowThreadProcessId(attached.window, &process) && process == attached.process;
}

bool AttachedWindows::attach(HWND window, DWORD clientProcess) {
    Attached attached = {window, clientProcess};
    if (!counts(attached)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Attached& a : windows_)
        if (a.window == window && a.process == clientProcess) return true;
    windows_.push_back(attached);
    return true;
}

bool AttachedWindows::holds(HWND window) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Attached& a : windows_)
        if (a.window == window) return counts(a);
    return false;
}

bool AttachedWindows::anyHeld() { return firstHeld() != nullptr; }

HWND AttachedWindows::firstHeld() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Attached& a : windows_)
        if (counts(a)) return a.window;
    return nullptr;
}

void AttachedWindows::announceChange() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Attached> alive;
    for (const Attached& a : windows_) {
        if (counts(a) && PostMessageA(a.window, WM_AGENT_REFRESH, 0, 0)) alive.push_back(a);
    }
    windows_.swap(alive);
}

RequestHandler::Extension attachWindowExtension(AttachedWindows& windows) {
    return [&windows](WireReader& body, Session& session, WireWriter& reply) {
        std::uint32_t high, low;
        if (!body.u32(high) || !body.u32(low) || !body.atEnd()) {
            body.fail();
            return false;
        }
        HWND window = reinterpret_cast<HWND>(static_cast<UINT_PTR>((std::uint64_t(high) << 32) | low));
        if (!windows.attach(window, DWORD(session.clientProcess))) return false;
        reply.u8(SSH_AGENT_SUCCESS);
        return true;
    };
}
