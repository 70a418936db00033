#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // GetTickCount64
#include "LifetimeClock.h"

#include <utility>

namespace {

const char* const kWindowClass = "GlimmerpadKeyAgentLifetimes";

// Windows tells every top-level window when it resumes
// (PBT_APMRESUMEAUTOMATIC, then PBT_APMRESUMESUSPEND when a user is
// there); the message itself ends the watch's wait, which is all it takes.
LRESULT CALLBACK powerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_POWERBROADCAST) return TRUE;
    // Closing every window of the agent (taskkill does) closes the agent
    // through its own window; this one alone stays as long as the watch.
    if (message == WM_CLOSE) return 0;
    return DefWindowProcA(window, message, wParam, lParam);
}

// False once the thread is asked to end.
bool takeMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) return false;
        DispatchMessageA(&msg);
    }
    return true;
}

}  // namespace

std::uint64_t sleepCountingMilliseconds() { return GetTickCount64(); }

ExpiryWatch::ExpiryWatch(HANDLE wake, UntilNext untilNext, ExpireDue expireDue)
    : wake_(wake), untilNext_(std::move(untilNext)), expireDue_(std::move(expireDue)) {}

ExpiryWatch::~ExpiryWatch() {
    if (!thread_) return;
    PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
    WaitForSingleObject(thread_, 5000);
    CloseHandle(thread_);
}

bool ExpiryWatch::start(HINSTANCE instance) {
    instance_ = instance;
    ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ready_) return false;
    thread_ = CreateThread(nullptr, 0, run, this, 0, &threadId_);
    if (thread_) {
        // The thread sets the event once its window exists or cannot.
        HANDLE waits[2] = {ready_, thread_};
        WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    }
    CloseHandle(ready_);
    ready_ = nullptr;
    return thread_ && window_;
}

DWORD WINAPI ExpiryWatch::run(void* param) {
    auto* self = static_cast<ExpiryWatch*>(param);
    bool opened = self->openWindow();
    SetEvent(self->ready_);
    if (!opened) return 1;
    self->watch();
    DestroyWindow(self->window_);
    return 0;
}

bool ExpiryWatch::openWindow() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = powerProc;
    wc.hInstance = instance_;
    wc.lpszClassName = kWindowClass;
    if (!RegisterClassA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    window_ = CreateWindowExA(0, kWindowClass, kWindowClass, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance_, nullptr);
    return window_ != nullptr;
}

DWORD ExpiryWatch::nextWait() const {
    std::uint64_t ms = untilNext_();
    return ms >= std::uint64_t(INFINITE) ? INFINITE : DWORD(ms);
}

// Every lifetime that is due goes whenever the wait ends: at its time, for
// a new lifetime, or for a message such as a resume, after which the clock
// may have passed several lifetimes while the wait stood still.
void ExpiryWatch::watch() {
    for (;;) {
        HANDLE wake = wake_;
        DWORD woke = MsgWaitForMultipleObjects(1, &wake, FALSE, nextWait(), QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0 + 1 && !takeMessages()) return;
        expireDue_();
    }
}
