#include "Pageant.h"

#include "UnverifiedClient.h"

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

// The client's memory may fail under the agent at any moment: a file
// behind the mapping that shrank, pages never committed, another process
// changing it. Every byte crosses through ReadProcessMemory and
// WriteProcessMemory on the agent's own process, which report such a fault
// as an error. A plain copy would fault inside the window procedure, where
// Windows either ends the agent or swallows the fault and unwinds past the
// code that unmaps the view and closes the mapping.
bool copyIn(const std::uint8_t* from, void* to, std::size_t n) {
    SIZE_T done = 0;
    return ReadProcessMemory(GetCurrentProcess(), from, to, n, &done) && done == n;
}

bool copyOut(std::uint8_t* to, const void* from, std::size_t n) {
    SIZE_T done = 0;
    return WriteProcessMemory(GetCurrentProcess(), to, from, n, &done) && done == n;
}

// The part of the mapping a message may use: its first 8 KiB, or all of a
// smaller one.
struct View {
    std::uint8_t* base = nullptr;
    std::size_t size = 0;
};

View mapMessageView(HANDLE mapping) {
    const DWORD access = FILE_MAP_READ | FILE_MAP_WRITE;
    void* base = MapViewOfFile(mapping, access, 0, 0, kPageantMaxMessage);
    // Windows maps no more than a mapping holds.
    if (!base) base = MapViewOfFile(mapping, access, 0, 0, 0);
    View view;
    MEMORY_BASIC_INFORMATION info;
    if (base && VirtualQuery(base, &info, sizeof info) == sizeof info) {
        view.base = static_cast<std::uint8_t*>(base);
        view.size = std::min<std::size_t>(info.RegionSize, kPageantMaxMessage);
    } else if (base) {
        UnmapViewOfFile(base);
    }
    return view;
}

std::uint32_t readLength(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

// The message, copied out once before anything reads it: the client may
// change the mapping meanwhile. False for a length that passes the view
// and for memory that cannot be read.
bool readRequest(const View& view, Bytes& request) {
    std::uint8_t prefix[4];
    if (view.size < 4 || !copyIn(view.base, prefix, 4)) return false;
    std::uint32_t length = readLength(prefix);
    if (length == 0 || length > view.size - 4) return false;
    request.resize(length);
    return copyIn(view.base + 4, request.data(), length);
}

// An answer the view cannot hold is no answer: better the failure.
bool writeReply(const View& view, const Bytes& reply) {
    Bytes framed;
    if (reply.size() > view.size - 4) framed.assign({0, 0, 0, 1, SSH_AGENT_FAILURE});
    else {
        std::uint32_t n = std::uint32_t(reply.size());
        framed.assign({std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)});
        framed.insert(framed.end(), reply.begin(), reply.end());
    }
    return copyOut(view.base, framed.data(), framed.size());
}

// Answered here, on the window's thread, one request at a time: a client
// that sends while another is answered waits in the window's queue until
// that one has its answer, however long a confirmation takes, and the
// clients hear back in the order they asked. Answers 0 (the mapping left
// as it was, as far as it can be read) for a request that does not fit.
LRESULT serveView(const View& view) {
    Bytes request, reply;
    if (!readRequest(view, request)) {
        wipe(request);
        return 0;
    }
    Session session;
    session.channel = Channel::Public;
    session.clientProcess = kUnverifiedClient;
    g_handler->handle(request.data(), request.size(), session, reply);
    wipe(request);
    bool written = writeReply(view, reply);
    wipe(reply);
    return written ? 1 : 0;
}

LRESULT serveMapping(const char* name) {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE | READ_CONTROL, FALSE, name);
    if (!mapping) return 0;
    LRESULT answer = 0;
    View view = ownedByUser(mapping) ? mapMessageView(mapping) : View();
    if (view.base) {
        answer = serveView(view);
        UnmapViewOfFile(view.base);
    }
    CloseHandle(mapping);
    return answer;
}

// The window in wParam is the client's own choice and names nobody.
LRESULT onCopyData(const COPYDATASTRUCT* data) {
    if (!data || data->dwData != kPageantCopyData || !data->lpData || data->cbData == 0) return 0;
    const char* name = static_cast<const char*>(data->lpData);
    if (!std::memchr(name, 0, data->cbData)) return 0;
    return serveMapping(name);
}

LRESULT CALLBACK pageantProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COPYDATA:
        return onCopyData(reinterpret_cast<const COPYDATASTRUCT*>(lParam));
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
