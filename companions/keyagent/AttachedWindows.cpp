#include "AttachedWindows.h"

#include "AgentChannel.h"
#include "UserIdentity.h"

using namespace agentcore;

namespace {

bool counts(HWND window) { return IsWindow(window) && windowOfCurrentUser(window); }

}  // namespace

bool AttachedWindows::attach(HWND window) {
    if (!counts(window)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    for (HWND w : windows_)
        if (w == window) return true;
    windows_.push_back(window);
    return true;
}

bool AttachedWindows::holds(HWND window) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (HWND w : windows_)
        if (w == window) return counts(w);
    return false;
}

bool AttachedWindows::anyHeld() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (HWND w : windows_)
        if (counts(w)) return true;
    return false;
}

void AttachedWindows::announceChange() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<HWND> alive;
    for (HWND w : windows_) {
        if (IsWindow(w) && PostMessageA(w, WM_AGENT_REFRESH, 0, 0)) alive.push_back(w);
    }
    windows_.swap(alive);
}

RequestHandler::Extension attachWindowExtension(AttachedWindows& windows) {
    return [&windows](WireReader& body, Session&, WireWriter& reply) {
        std::uint32_t high, low;
        if (!body.u32(high) || !body.u32(low) || !body.atEnd()) {
            body.fail();
            return false;
        }
        HWND window = reinterpret_cast<HWND>(static_cast<UINT_PTR>((std::uint64_t(high) << 32) | low));
        if (!windows.attach(window)) return false;
        reply.u8(SSH_AGENT_SUCCESS);
        return true;
    };
}
