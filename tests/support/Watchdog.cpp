#include "Watchdog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "Driver.h"

namespace e2e {

namespace {

CRITICAL_SECTION *lock()
{
    static CRITICAL_SECTION section;
    static bool ready = (InitializeCriticalSection(&section), true);
    (void)ready;
    return &section;
}

std::set<HANDLE> &watched()
{
    static std::set<HANDLE> processes;
    return processes;
}

void endWatchedProcesses()
{
    EnterCriticalSection(lock());
    for (HANDLE process : watched())
        TerminateProcess(process, 98);
    LeaveCriticalSection(lock());
}

class Watchdog : public testing::EmptyTestEventListener {
public:
    Watchdog() : testEnded(CreateEventA(NULL, TRUE, FALSE, NULL)), thread(NULL) {}

    void OnTestStart(const testing::TestInfo &test) override
    {
        name = std::string(test.test_suite_name()) + "." + test.name();
        ResetEvent(testEnded);
        thread = CreateThread(NULL, 0, watch, this, 0, NULL);
    }

    void OnTestEnd(const testing::TestInfo &) override
    {
        SetEvent(testEnded);
        if (thread != NULL) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
            thread = NULL;
        }
    }

private:
    static DWORD WINAPI watch(void *context)
    {
        Watchdog *self = static_cast<Watchdog *>(context);
        if (WaitForSingleObject(self->testEnded, timeoutMs(60000)) == WAIT_OBJECT_0)
            return 0;
        // Recorded as the test's own failure, so that a test which passes
        // once its processes are gone does not hide the hang.
        ADD_FAILURE() << "watchdog: " << self->name << " still running after " << timeoutMs(60000) / 1000
                      << " s; ending the processes it started";
        endWatchedProcesses();
        if (WaitForSingleObject(self->testEnded, timeoutMs(20000)) == WAIT_OBJECT_0)
            return 0;
        std::fprintf(stderr, "watchdog: %s did not come back; ending the test program\n", self->name.c_str());
        std::fflush(stderr);
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
        return 0;
    }

    HANDLE testEnded;
    HANDLE thread;
    std::string name;
};

// Registered before main, so that every test program linking the driver
// has it without a line of its own.
const bool installed = (testing::UnitTest::GetInstance()->listeners().Append(new Watchdog), true);

} // namespace

void watchProcess(HANDLE process)
{
    EnterCriticalSection(lock());
    watched().insert(process);
    LeaveCriticalSection(lock());
}

void unwatchProcess(HANDLE process)
{
    EnterCriticalSection(lock());
    watched().erase(process);
    LeaveCriticalSection(lock());
}

} // namespace e2e
