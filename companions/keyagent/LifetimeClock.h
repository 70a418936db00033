// Key lifetimes that end on time when the machine sleeps. A lifetime of
// ten minutes means ten minutes on the wall, not ten minutes awake: the
// store measures it with a clock that goes on while the machine sleeps,
// and the thread that ends lifetimes looks again when Windows resumes,
// since its wait does not count the time asleep (Windows 8 and later).
#ifndef GKEYAGENT_LIFETIMECLOCK_H
#define GKEYAGENT_LIFETIMECLOCK_H

#include <windows.h>

#include <cstdint>
#include <functional>

// Milliseconds since Windows started, time asleep and hibernated included
// (GetTickCount64); the key store's clock.
std::uint64_t sleepCountingMilliseconds();

// A thread that ends each lifetime when it is due. It waits until the next
// one ends, and looks again when the wake event is set (a new lifetime may
// end sooner) and when Windows resumes from sleep, which it hears through
// a hidden top-level window of its own (a message-only window hears no
// broadcast).
class ExpiryWatch {
public:
    // Milliseconds until the next lifetime ends, or a value of INFINITE or
    // more for none.
    using UntilNext = std::function<std::uint64_t()>;
    using ExpireDue = std::function<void()>;

    ExpiryWatch(HANDLE wake, UntilNext untilNext, ExpireDue expireDue);
    // Stops the thread, if it started.
    ~ExpiryWatch();
    ExpiryWatch(const ExpiryWatch&) = delete;
    ExpiryWatch& operator=(const ExpiryWatch&) = delete;

    // False when the thread or its window could not be made.
    bool start(HINSTANCE instance);

private:
    static DWORD WINAPI run(void* self);
    bool openWindow();
    void watch();
    DWORD nextWait() const;

    HANDLE wake_;
    UntilNext untilNext_;
    ExpireDue expireDue_;
    HINSTANCE instance_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    HANDLE ready_ = nullptr;
    HWND window_ = nullptr;
};

#endif
