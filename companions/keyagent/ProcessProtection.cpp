#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // PROCESS_QUERY_LIMITED_INFORMATION, the owner rights SID, GetErrorMode, WER
#include "ProcessProtection.h"

#include "AgentLog.h"

#include <tlhelp32.h>

#include <cstring>
#include <string>

namespace {

// An object's DACL: the user with the rights given, the owner with only
// kOwnerOnAgentObjects. Without the owner rights entry Windows would let
// the owner (the user) rewrite the DACL and then take every right.
struct ObjectSecurity {
    DWORD acl[64];  // DWORD-aligned room for two entries with the largest SIDs
    SECURITY_DESCRIPTOR descriptor;

    bool build(PSID user, DWORD userRights) {
        BYTE ownerRights[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof ownerRights;
        ACL* list = reinterpret_cast<ACL*>(acl);
        return CreateWellKnownSid(WinCreatorOwnerRightsSid, nullptr, ownerRights, &size) &&
               InitializeAcl(list, sizeof acl, ACL_REVISION) &&
               AddAccessAllowedAce(list, ACL_REVISION, userRights, user) &&
               AddAccessAllowedAce(list, ACL_REVISION, kOwnerOnAgentObjects, ownerRights) &&
               InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
               SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE);
    }
    bool applyTo(HANDLE object) { return SetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, &descriptor) != 0; }
};

ObjectSecurity g_threadSecurity;
volatile LONG g_threadsClosed = 0;

// A thread is as open as its process: whoever may set its context runs the
// agent's own code on the agent's memory. The loader calls this on every
// new thread, before the thread runs anything of its own, whoever started
// it; SetKernelObjectSecurity loads nothing, as the loader's lock demands.
void NTAPI closeNewThread(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_THREAD_ATTACH && InterlockedCompareExchange(&g_threadsClosed, 0, 0))
        g_threadSecurity.applyTo(GetCurrentThread());
}

// The threads the process has already: at the agent's start the calling
// one, and any that Windows or a library started before.
bool closeExistingThreads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return g_threadSecurity.applyTo(GetCurrentThread());
    bool all = true;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
        HANDLE thread = OpenThread(WRITE_DAC, FALSE, entry.th32ThreadID);
        // One that ended since the snapshot needs nothing.
        if (!thread) continue;
        all = g_threadSecurity.applyTo(thread) && all;
        CloseHandle(thread);
    }
    CloseHandle(snapshot);
    return all;
}

// WER's calls are looked up where Windows has them (werapi.h does not
// build as C++ with MinGW's headers).
const DWORD kWerNoHeap = 1;  // WER_FAULT_REPORTING_FLAG_NOHEAP

bool keepHeapOutOfCrashDumps() {
    using SetFlags = HRESULT(WINAPI*)(DWORD);
    auto set = reinterpret_cast<SetFlags>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "WerSetFlags")));
    return set && SUCCEEDED(set(kWerNoHeap));
}

// WER keeps the programs it leaves alone by file name. Its library is
// loaded from the system folder alone, and only for this one call.
bool excludeFromErrorReporting(const char* program) {
    wchar_t name[MAX_PATH];
    char library[MAX_PATH];
    UINT folder = GetSystemDirectoryA(library, MAX_PATH);
    if (!MultiByteToWideChar(CP_ACP, 0, program, -1, name, MAX_PATH) || folder == 0 ||
        folder + sizeof "\\wer.dll" > MAX_PATH)
        return false;
    std::strcat(library, "\\wer.dll");
    HMODULE wer = LoadLibraryA(library);
    if (!wer) return false;
    using AddExcluded = HRESULT(WINAPI*)(PCWSTR, BOOL);
    auto add = reinterpret_cast<AddExcluded>(reinterpret_cast<void*>(GetProcAddress(wer, "WerAddExcludedApplication")));
    bool excluded = add && SUCCEEDED(add(name, FALSE));
    FreeLibrary(wer);
    return excluded;
}

std::string programFileName() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return "gkeyagent.exe";
    const char* slash = std::strrchr(path, '\\');
    return slash ? slash + 1 : path;
}

}  // namespace

// The loader's list of thread callbacks (the C runtime's TLS directory
// gathers every pointer in .CRT$XL?).
extern "C" {
__attribute__((section(".CRT$XLF"), used)) PIMAGE_TLS_CALLBACK g_closeNewThreadCallback = closeNewThread;
}

bool closeProcessToOthers(PSID user) {
    ObjectSecurity process;
    if (!process.build(user, kOthersOnAgentProcess) || !g_threadSecurity.build(user, kOthersOnAgentThread)) return false;
    InterlockedExchange(&g_threadsClosed, 1);
    bool threads = closeExistingThreads();
    return process.applyTo(GetCurrentProcess()) && threads;
}

bool leaveOutOfCrashReports(const char* program) {
    SetErrorMode(GetErrorMode() | SEM_NOGPFAULTERRORBOX);
    bool noHeap = keepHeapOutOfCrashDumps();
    return excludeFromErrorReporting(program) && noHeap;
}

void protectAgentProcess(PSID user) {
    if (!closeProcessToOthers(user))
        logLine("the agent's process could not be closed to other programs (error " + std::to_string(GetLastError()) +
                "); they may be able to read its memory");
    if (!leaveOutOfCrashReports(programFileName().c_str()))
        logLine("Windows refused a part of leaving the agent out of error reports and crash dumps");
}
