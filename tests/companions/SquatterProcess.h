// tests/companions/PipeSquatter.cpp started by a test: a program of this
// user holding one of the agent's pipe names before the agent can.
#ifndef GAGENT_TEST_SQUATTERPROCESS_H
#define GAGENT_TEST_SQUATTERPROCESS_H

#include <windows.h>

#include "KeyAgentHarness.h"
#include "UserIdentity.h"

#include <fstream>
#include <iterator>
#include <string>

namespace agenttest {

// The folder of this test program, where pipe_squatter.exe is built too.
inline std::string programFolder() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder = path;
    return folder.substr(0, folder.rfind('\\'));
}

// tests/companions/PipeSquatter.cpp, holding the manager's pipe name of
// `publicPipe` (or the public pipe itself) from before any agent starts,
// run from its own file or from a copy at `copiedTo`.
enum class Holds { ManagerPipe, PublicPipe };

class Squatter {
public:
    Squatter(const std::string &publicPipe, const std::string &recordFile, Holds holds = Holds::ManagerPipe,
             const std::string &copiedTo = std::string())
        : record(recordFile) {
        program = programFolder() + "\\pipe_squatter.exe";
        if (!copiedTo.empty() && CopyFileA(program.c_str(), copiedTo.c_str(), FALSE)) program = copiedTo;
        std::string command = "\"" + program + "\" \"" + publicPipe + "\" \"" + record + "\"";
        if (holds == Holds::PublicPipe) command += " public";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process) != 0;
        if (started) CloseHandle(process.hThread);
        serving = started && waitUntilServed(holds == Holds::PublicPipe ? publicPipe : managerPipeName(publicPipe));
    }
    ~Squatter() { stop(); }
    // Ends it; everything it read.
    std::string stop() {
        if (started) {
            TerminateProcess(process.hProcess, 0);
            WaitForSingleObject(process.hProcess, scaled(5000));
            CloseHandle(process.hProcess);
            started = false;
        }
        std::ifstream in(record, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    DWORD processId() const { return process.dwProcessId; }

    std::string program, record;
    bool started = false, serving = false;

private:
    // The name exists only once the program has made it: until then
    // WaitNamedPipeA answers at once that there is no such pipe.
    bool waitUntilServed(const std::string &name) {
        for (DWORD end = GetTickCount() + scaled(10000); GetTickCount() < end;) {
            if (WaitNamedPipeA(name.c_str(), 100)) return true;
            if (WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0) return false;
        }
        return false;
    }

    PROCESS_INFORMATION process = {};
};

// Where Windows installs its own OpenSSH agent, made free for a stand-in
// for the time of a test: Wine brings no OpenSSH of Windows, and a program
// started from that file is what the agent tells it by. Whatever the test
// put there is removed again.
struct ServicePath {
    std::string folder, program;
    bool free = false;
    ServicePath() {
        char windows[MAX_PATH];
        UINT length = GetWindowsDirectoryA(windows, sizeof windows);
        if (length == 0 || length >= sizeof windows) return;
        folder = std::string(windows) + "\\System32\\OpenSSH";
        program = folder + "\\ssh-agent.exe";
        madeFolder = CreateDirectoryA(folder.c_str(), nullptr) != 0;
        free = GetFileAttributesA(program.c_str()) == INVALID_FILE_ATTRIBUTES;
    }
    ~ServicePath() {
        if (free) DeleteFileA(program.c_str());
        if (madeFolder) RemoveDirectoryA(folder.c_str());
    }

private:
    bool madeFolder = false;
};

// pipe_squatter.exe installed and started as the service ssh-agent of this
// Wine prefix, holding the public pipe from its own file: what is left to
// tell it by is the process the service control manager names. Stopped
// and removed again at the end.
class SshAgentService {
public:
    SshAgentService(const std::string &publicPipe, const std::string &recordFile) {
        manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (!manager) return;
        removeLeftOver();
        std::string command = "\"" + programFolder() + "\\pipe_squatter.exe\" \"" + publicPipe + "\" \"" +
                              recordFile + "\" service";
        service = CreateServiceA(manager, "ssh-agent", "OpenSSH Authentication Agent", SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, command.c_str(),
                                 nullptr, nullptr, nullptr, nullptr, nullptr);
        if (!service || !StartServiceA(service, 0, nullptr)) return;
        for (DWORD end = GetTickCount() + scaled(10000); GetTickCount() < end && !running(); Sleep(50)) {
        }
    }
    ~SshAgentService() {
        if (service) {
            SERVICE_STATUS status;
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            for (DWORD end = GetTickCount() + scaled(5000); GetTickCount() < end && processId() != 0; Sleep(50)) {
            }
            DeleteService(service);
            CloseServiceHandle(service);
        }
        if (manager) CloseServiceHandle(manager);
    }
    bool running() { return processId() != 0; }
    DWORD processId() {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (!service || !QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status),
                                              sizeof status, &needed))
            return 0;
        return status.dwCurrentState == SERVICE_RUNNING ? status.dwProcessId : 0;
    }

private:
    // A run ended by its watchdog may have left the service behind.
    void removeLeftOver() {
        SC_HANDLE old = OpenServiceA(manager, "ssh-agent", SERVICE_ALL_ACCESS);
        if (!old) return;
        SERVICE_STATUS status;
        ControlService(old, SERVICE_CONTROL_STOP, &status);
        DeleteService(old);
        CloseServiceHandle(old);
    }

    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
};

}  // namespace agenttest

#endif
