// The thread that ends key lifetimes, in this process with a clock of the
// test's own. A machine cannot be put to sleep under Wine, and Wine's tick
// count and its performance counter come from the same Linux clock, so
// that the sleep itself and which clock counts it cannot be shown here;
// what can is that a resume makes the waiting thread look again at once.
#include "KeyAgentHarness.h"

#include "LifetimeClock.h"

using namespace agenttest;

TEST(ExpiryWatch, AResumeMakesTheWaitingThreadLookAgainAtOnce_TheSleepItselfWineCannotShow) {
    HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> sleptThroughIt{false};
    std::atomic<int> expired{0};
    {
        // An hour to go, as far as a wait that stands still in sleep knows.
        ExpiryWatch watch(
            wake, [&] { return sleptThroughIt ? std::uint64_t(0) : std::uint64_t(3600000); },
            [&] { expired += sleptThroughIt ? 1 : 0; });
        ASSERT_TRUE(watch.start(GetModuleHandleA(nullptr)));
        // The clock that counts sleep has passed the hour; Windows wakes up
        // and tells every top-level window.
        sleptThroughIt = true;
        PostMessageA(HWND_BROADCAST, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
        for (DWORD end = GetTickCount() + scaled(3000); expired == 0 && GetTickCount() < end;) Sleep(10);
        EXPECT_GE(expired, 1) << "the lifetime ended on the resume, not an hour later";
    }
    CloseHandle(wake);
}
