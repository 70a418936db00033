// What other processes of the user may do to the running agent. Wine
// checks a process's and a thread's DACL when they are opened, so those
// rights are tried for real. It does not hold an owner to the owner rights
// entry, nor does it have error reports to leave the agent out of: for
// those, the calls are read back, and the tests say so in their names.
#include "KeyAgentHarness.h"

#include "ProcessProtection.h"

#include <tlhelp32.h>

using namespace agenttest;

namespace {

bool opensProcess(DWORD process, DWORD access) {
    HANDLE handle = OpenProcess(access, FALSE, process);
    if (handle) CloseHandle(handle);
    return handle != nullptr;
}

bool opensThread(DWORD thread, DWORD access) {
    HANDLE handle = OpenThread(access, FALSE, thread);
    if (handle) CloseHandle(handle);
    return handle != nullptr;
}

std::vector<DWORD> threadsOf(DWORD process) {
    std::vector<DWORD> threads;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == process) threads.push_back(entry.th32ThreadID);
    CloseHandle(snapshot);
    return threads;
}

// The entries of an object's DACL, as (mask, SID) in their order.
struct Entry {
    ACCESS_MASK mask;
    UserSid sid;
};

std::vector<Entry> daclOf(HANDLE object) {
    std::vector<Entry> entries;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd) !=
        ERROR_SUCCESS)
        return entries;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
            entries.push_back({0, UserSid()});
            continue;
        }
        Entry entry{ace->Mask, UserSid()};
        entry.sid.assign(&ace->SidStart);
        entries.push_back(entry);
    }
    LocalFree(sd);
    return entries;
}

UserSid ownerRights() {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    UserSid owner;
    if (CreateWellKnownSid(WinCreatorOwnerRightsSid, nullptr, sid, &size)) owner.assign(sid);
    return owner;
}

// The user alone with the rights given, then the owner with READ_CONTROL.
::testing::AssertionResult closedDacl(HANDLE object, ACCESS_MASK userRights) {
    std::vector<Entry> entries = daclOf(object);
    if (entries.size() != 2) return ::testing::AssertionFailure() << entries.size() << " entries";
    if (!entries[0].sid.sameAs(currentUser()) || entries[0].mask != userRights)
        return ::testing::AssertionFailure() << "the user's entry: " << entries[0].sid.text() << " " << std::hex
                                             << entries[0].mask;
    if (!entries[1].sid.sameAs(ownerRights()) || entries[1].mask != READ_CONTROL)
        return ::testing::AssertionFailure() << "the owner's entry: " << entries[1].sid.text() << " " << std::hex
                                             << entries[1].mask;
    return ::testing::AssertionSuccess();
}

// WER's list of excluded programs: where Windows keeps it, and where
// Wine's wer.dll does.
const char* const kWerExclusions[] = {"Software\\Microsoft\\Windows\\Windows Error Reporting\\ExcludedApplications",
                                      "Software\\Microsoft\\Windows Error Reporting\\ExcludedApplications"};

bool werExcludes(const char* program) {
    for (const char* path : kWerExclusions) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
        DWORD value = 0, size = sizeof value;
        bool excluded = RegQueryValueExA(key, program, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) ==
                            ERROR_SUCCESS &&
                        value == 1;
        RegCloseKey(key);
        if (excluded) return true;
    }
    return false;
}

void forgetWerExclusion(const char* program) {
    for (const char* path : kWerExclusions) RegDeleteKeyValueA(HKEY_CURRENT_USER, path, program);
}

}  // namespace

TEST_F(KeyAgent, OtherProcessesOfTheUserCanNeitherReadNorRunCodeInTheAgent) {
    // A client's thread, started after the agent closed itself.
    Client client(pipe_);
    ASSERT_EQ(client.call(addEdRequest()), kSuccess);
    const DWORD agent = agent_.pi.dwProcessId;
    const struct {
        const char* name;
        DWORD access;
    } refused[] = {
        {"PROCESS_VM_READ", PROCESS_VM_READ},
        {"PROCESS_VM_WRITE", PROCESS_VM_WRITE | PROCESS_VM_OPERATION},
        {"PROCESS_DUP_HANDLE", PROCESS_DUP_HANDLE},
        {"PROCESS_CREATE_THREAD", PROCESS_CREATE_THREAD},
        {"PROCESS_QUERY_INFORMATION", PROCESS_QUERY_INFORMATION},
        {"PROCESS_SUSPEND_RESUME", PROCESS_SUSPEND_RESUME},
    };
    for (const auto& right : refused) EXPECT_FALSE(opensProcess(agent, right.access)) << right.name;
    // What the product needs: the library and the manager check the agent's
    // user and program by its id; the installer and the tests end it.
    EXPECT_TRUE(opensProcess(agent, SYNCHRONIZE | PROCESS_TERMINATE));
    EXPECT_TRUE(processUser(agent).sameAs(currentUser()));
    EXPECT_TRUE(sameFile(processImage(agent), stageDir() + "\\gkeyagent.exe")) << processImage(agent);

    std::vector<DWORD> threads = threadsOf(agent);
    EXPECT_GE(threads.size(), 4u) << "the window's, the pipes' listeners, the client's, the lifetimes'";
    for (DWORD thread : threads) {
        EXPECT_FALSE(opensThread(thread, THREAD_SET_CONTEXT)) << thread;
        EXPECT_FALSE(opensThread(thread, THREAD_GET_CONTEXT | THREAD_SUSPEND_RESUME)) << thread;
        EXPECT_TRUE(opensThread(thread, SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION)) << thread;
    }
}

// Windows lets the owner of an object rewrite its DACL unless an owner
// rights entry says otherwise; Wine grants the owner WRITE_DAC regardless.
TEST_F(KeyAgent, TheAgentsDaclsLeaveItsOwnerNoRightToRewriteThem_CallMadeWineCannotEnforce) {
    const DWORD agent = agent_.pi.dwProcessId;
    HANDLE process = OpenProcess(READ_CONTROL, FALSE, agent);
    ASSERT_NE(process, nullptr);
    EXPECT_TRUE(closedDacl(process, SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE));
    CloseHandle(process);
    for (DWORD id : threadsOf(agent)) {
        HANDLE thread = OpenThread(READ_CONTROL, FALSE, id);
        ASSERT_NE(thread, nullptr) << id;
        EXPECT_TRUE(closedDacl(thread, SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION)) << id;
        CloseHandle(thread);
    }
}

// Wine writes no error report and no crash dump to leave the agent out of.
TEST_F(KeyAgent, TheAgentLeavesItselfOutOfErrorReportsAndFaultDialogs_CallsMadeWineCannotEnforce) {
    agent_.stop();
    forgetWerExclusion("gkeyagent.exe");
    startAgent();
    EXPECT_TRUE(werExcludes("gkeyagent.exe"));

    // The fault dialog cannot be read back from another process: the call
    // itself, in this one.
    const char* const program = "keyagent-tests-excluded.exe";
    UINT before = SetErrorMode(0);
    EXPECT_TRUE(leaveOutOfCrashReports(program));
    EXPECT_NE(GetErrorMode() & SEM_NOGPFAULTERRORBOX, 0u);
    EXPECT_TRUE(werExcludes(program));
    SetErrorMode(before);
    forgetWerExclusion(program);
}
