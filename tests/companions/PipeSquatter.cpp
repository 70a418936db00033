// A program that takes the key manager's pipe name before the agent can:
//   pipe_squatter.exe <public pipe> <record file> [public|service]
// It serves the name managerPipeName(<public pipe>) gives, as the agent
// would, or with "public" the public pipe itself (a stranger a relay must
// refuse, another agent that keeps ours from starting); with "service" it
// does so as the Windows service ssh-agent, started by the service control
// manager, and answers like an agent that wants a key file's passphrase, so
// that a library that trusted it would go on to send one. Every message it
// reads is appended to the record file (length and bytes) at once; the
// test reads that file to see what reached it. It runs until it is ended.
#include <windows.h>

#include "KeyFileRequest.h"
#include "Protocol.h"
#include "UserIdentity.h"
#include "Wire.h"


using namespace agentcore;

namespace {

HANDLE g_record;
CRITICAL_SECTION g_recording;

void record(const Bytes &message) {
    EnterCriticalSection(&g_recording);
    std::uint8_t length[4] = {std::uint8_t(message.size() >> 24), std::uint8_t(message.size() >> 16),
                              std::uint8_t(message.size() >> 8), std::uint8_t(message.size())};
    DWORD written;
    WriteFile(g_record, length, 4, &written, NULL);
    WriteFile(g_record, message.data(), DWORD(message.size()), &written, NULL);
    FlushFileBuffers(g_record);
    LeaveCriticalSection(&g_recording);
}

bool readExactly(HANDLE pipe, std::uint8_t *data, DWORD size) {
    for (DWORD done = 0; size > 0; data += done, size -= done)
        if (!ReadFile(pipe, data, size, &done, NULL) || done == 0) return false;
    return true;
}

// As an agent answers: the unlock refused, a key file always short of its
// passphrase, every other question of ours granted.
Bytes answerTo(const Bytes &message) {
    WireReader r(message);
    std::uint8_t type = 0;
    std::string name;
    WireWriter w;
    if (!r.u8(type) || type != SSH_AGENTC_EXTENSION || !r.text(name)) {
        w.u8(SSH_AGENT_FAILURE);
        return w.take();
    }
    w.u8(SSH_AGENT_SUCCESS);
    if (name == kAddKeyFileExtension) w.u32(KEYFILE_NEEDS_PASSPHRASE);
    if (name == kLockState) w.boolean(false);
    if (name == kKeyList) w.u32(0);
    return w.take();
}

// Answers one client until it goes.
void serveConnection(HANDLE pipe) {
    for (;;) {
        std::uint8_t length[4];
        if (!readExactly(pipe, length, 4)) break;
        std::uint32_t size = (std::uint32_t(length[0]) << 24) | (length[1] << 16) | (length[2] << 8) | length[3];
        if (size == 0 || size > kMaxMessage) break;
        Bytes message(size);
        if (!readExactly(pipe, message.data(), size)) break;
        record(message);
        Bytes answer = answerTo(message);
        std::uint8_t prefix[4] = {0, 0, 0, std::uint8_t(answer.size())};
        DWORD written;
        if (!WriteFile(pipe, prefix, 4, &written, NULL) ||
            !WriteFile(pipe, answer.data(), DWORD(answer.size()), &written, NULL))
            break;
    }
    DisconnectNamedPipe(pipe);
}

DWORD WINAPI serve(void *parameter) {
    HANDLE pipe = parameter;
    serveConnection(pipe);
    CloseHandle(pipe);
    return 0;
}

// The manager's pipe, as the agent serves it: an instance for each client.
int serveEveryClient(const std::string &name) {
    for (DWORD first = FILE_FLAG_FIRST_PIPE_INSTANCE;; first = 0) {
        HANDLE pipe = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | first, PIPE_TYPE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, NULL);
        if (pipe == INVALID_HANDLE_VALUE) return 3;
        if (!ConnectNamedPipe(pipe, NULL) && GetLastError() != ERROR_PIPE_CONNECTED) {
            CloseHandle(pipe);
            continue;
        }
        HANDLE thread = CreateThread(NULL, 0, serve, pipe, 0, NULL);
        if (thread) CloseHandle(thread);
    }
}

// The public pipe as one instance, clients one after another: Wine lets a
// second program add instances to a name whose first program allowed
// several, FILE_FLAG_FIRST_PIPE_INSTANCE or not, where Windows refuses it;
// with one instance the agent finds the name taken under Wine too.
HANDLE oneInstance(const std::string &name) {
    return CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                            PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, NULL);
}

[[noreturn]] void serveInTurn(HANDLE pipe) {
    for (;;)
        if (ConnectNamedPipe(pipe, NULL) || GetLastError() == ERROR_PIPE_CONNECTED) serveConnection(pipe);
}

int serveOneInstance(const std::string &name) {
    HANDLE pipe = oneInstance(name);
    if (pipe == INVALID_HANDLE_VALUE) return 3;
    serveInTurn(pipe);
}

// As the service: running once the pipe is made, stopped when asked.
std::string g_serviceName = "ssh-agent";
std::string g_publicPipe;
SERVICE_STATUS_HANDLE g_status;

void reportService(DWORD state) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(g_status, &status);
}

void WINAPI controlService(DWORD control) {
    if (control != SERVICE_CONTROL_STOP) return;
    reportService(SERVICE_STOPPED);
    ExitProcess(0);
}

void WINAPI runService(DWORD, LPSTR *) {
    g_status = RegisterServiceCtrlHandlerA(g_serviceName.c_str(), controlService);
    if (!g_status) return;
    HANDLE pipe = oneInstance(g_publicPipe);
    if (pipe == INVALID_HANDLE_VALUE) {
        reportService(SERVICE_STOPPED);
        return;
    }
    reportService(SERVICE_RUNNING);
    serveInTurn(pipe);
}

int serveAsService(const std::string &name) {
    g_publicPipe = name;
    SERVICE_TABLE_ENTRYA services[] = {{&g_serviceName[0], runService}, {NULL, NULL}};
    return StartServiceCtrlDispatcherA(services) ? 0 : 4;
}

}  // namespace

int main(int argc, char **argv) {
    std::string mode = argc == 4 ? argv[3] : "";
    bool holdsPublicPipe = mode == "public" || mode == "service";
    if (argc != 3 && !holdsPublicPipe) return 2;
    std::string name = holdsPublicPipe ? std::string(argv[1]) : managerPipeName(argv[1]);
    g_record = CreateFileA(argv[2], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (name.empty() || g_record == INVALID_HANDLE_VALUE) return 2;
    InitializeCriticalSection(&g_recording);
    if (mode == "service") return serveAsService(name);
    return holdsPublicPipe ? serveOneInstance(name) : serveEveryClient(name);
}
