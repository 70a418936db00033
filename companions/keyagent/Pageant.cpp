#include "Pageant.h"

#include <aclapi.h>

#include <algorithm>
#include <cstring>

using namespace agentcore;

namespace {

const char* const kPageantName = "Pageant";
const ULONG_PTR kPageantCopyData = 0x804E50BA;
// PuTTY's clients never make a mapping larger than this; a length prefix
// that reaches past it, or past the mapping, is refused.
const std::size_t kPageantMaxMessage = 8192;

RequestHandler* g_handler;
PSID g_userSid;
HWND g_window;
HANDLE g_thread;

// Mappings of other users (or of no known owner) are refused: their memory
// could hand a request of someone else to this user's keys.
bool ownedByUser(HANDLE mapping) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(mapping, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd) !=
        ERROR_SUCCESS)
        return false;
    bool same = owner && IsValidSid(owner) && EqualSid(owner, g_userSid);
    LocalFree(sd);
    return same;
}

struct Job {
    Bytes request;
    Bytes reply;
    Session session;
};

DWORD WINAPI runJob(void* param) {
    auto* job = static_cast<Job*>(param);
    g_handler->handle(job->request.data(), job->request.size(), job->session, job->reply);
    return 0;
}

// The handler may wait for the user (a confirmation) while the window must
// go on answering: it runs on a thread of its own and this one pumps
// meanwhile. A request that arrives in the meantime is answered inside this
// wait, so the outer client hears back only after the inner one.
void runPumping(Job& job) {
    HANDLE thread = CreateThread(nullptr, 0, runJob, &job, 0, nullptr);
    if (!thread) {
        runJob(&job);
        return;
    }
    bool quit = false;
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    CloseHandle(thread);
    // Taken from the queue above; the outer loop must still see it.
    if (quit) PostQuitMessage(0);
}

std::uint32_t readLength(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

// The request is copied out before it is answered: the client could change
// the mapping under us. Answers 0 (and leaves the mapping as it was) for a
// request that does not fit.
LRESULT serveView(std::uint8_t* view, std::size_t size, DWORD clientProcess) {
    std::size_t usable = std::min(size, kPageantMaxMessage);
    if (usable < 4) return 0;
    std::uint32_t length = readLength(view);
    if (length == 0 || length > usable - 4) return 0;
    Job job;
    job.request.assign(view + 4, view + 4 + length);
    job.session.clientProcess = clientProcess;
    runPumping(job);
    // An answer the mapping cannot hold is no answer: better the failure.
    if (job.reply.size() > usable - 4) job.reply.assign(1, SSH_AGENT_FAILURE);
    std::uint32_t n = std::uint32_t(job.reply.size());
    std::uint8_t prefix[4] = {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)};
    std::memcpy(view, prefix, 4);
    std::memcpy(view + 4, job.reply.data(), n);
    wipe(job.request);
    wipe(job.reply);
    return 1;
}

LRESULT serveMapping(const char* name, DWORD clientProcess) {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE | READ_CONTROL, FALSE, name);
    if (!mapping) return 0;
    LRESULT answer = 0;
    void* view = ownedByUser(mapping) ? MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0) : nullptr;
    if (view) {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(view, &info, sizeof info) == sizeof info)
            answer = serveView(static_cast<std::uint8_t*>(view), info.RegionSize, clientProcess);
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return answer;
}

LRESULT onCopyData(HWND sender, const COPYDATASTRUCT* data) {
    if (!data || data->dwData != kPageantCopyData || !data->lpData || data->cbData == 0) return 0;
    const char* name = static_cast<const char*>(data->lpData);
    if (!std::memchr(name, 0, data->cbData)) return 0;
    // PuTTY's clients send no window; others may.
    DWORD process = 0;
    if (sender && IsWindow(sender)) GetWindowThreadProcessId(sender, &process);
    return serveMapping(name, process);
}

LRESULT CALLBACK pageantProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COPYDATA:
        return onCopyData(reinterpret_cast<HWND>(wParam), reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    case WM_DESTROY:  // WM_CLOSE destroys by default
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

struct StartParams {
    HINSTANCE instance;
    HANDLE ready;
};

DWORD WINAPI pageantThread(void* param) {
    auto* start = static_cast<StartParams*>(param);
    WNDCLASSA wc = {};
    wc.lpfnWndProc = pageantProc;
    wc.hInstance = start->instance;
    wc.lpszClassName = kPageantName;
    if (RegisterClassA(&wc))
        g_window = CreateWindowExA(0, kPageantName, kPageantName, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, start->instance,
                                   nullptr);
    SetEvent(start->ready);
    if (!g_window) return 1;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}

}  // namespace

PageantStart startPageant(RequestHandler& handler, PSID userSid, HINSTANCE instance) {
    if (FindWindowA(kPageantName, nullptr)) return PageantStart::TakenByAnother;
    g_handler = &handler;
    g_userSid = userSid;
    StartParams start = {instance, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    if (!start.ready) return PageantStart::Failed;
    g_thread = CreateThread(nullptr, 0, pageantThread, &start, 0, nullptr);
    if (g_thread) {
        // The thread sets the event before it waits for anything; it also
        // reads start, so this wait cannot give up early.
        HANDLE waits[2] = {start.ready, g_thread};
        WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    }
    CloseHandle(start.ready);
    if (g_window) return PageantStart::Serving;
    stopPageant();
    return PageantStart::Failed;
}

void stopPageant() {
    if (g_window) PostMessageA(g_window, WM_CLOSE, 0, 0);
    if (g_thread) {
        WaitForSingleObject(g_thread, 5000);
        CloseHandle(g_thread);
    }
    g_thread = nullptr;
    g_window = nullptr;
}
