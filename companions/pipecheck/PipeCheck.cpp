#include "PipeCheck.h"

#include "UserIdentity.h"

namespace {

// The server may identify the user by the connection but never act as the
// user: a server that is not the agent learns no more than a name.
const DWORD kIdentificationOnly = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

}  // namespace

ServerProcess serverOf(HANDLE pipe) {
    ServerProcess server;
    if (pipeServerProcessId(pipe, server.processId)) server.program = processImage(server.processId);
    return server;
}

bool isTrustedAgent(const ServerProcess &server, const std::string &agentProgram) {
    return server.processId != 0 && !server.program.empty() && sameFile(server.program, agentProgram) &&
           processUser(server.processId).sameAs(currentUser());
}

bool openPipeClient(const std::string &pipeName, DWORD waitMs, DWORD flags, HANDLE &pipe) {
    DWORD start = GetTickCount();
    for (;;) {
        pipe = CreateFileA(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           flags | kIdentificationOnly, NULL);
        if (pipe != INVALID_HANDLE_VALUE) return true;
        // Busy: every instance is taken for the moment. Anything else
        // means nothing serves the pipe.
        if (GetLastError() != ERROR_PIPE_BUSY || GetTickCount() - start >= waitMs) return false;
        WaitNamedPipeA(pipeName.c_str(), 50);
    }
}

PipeFound openCheckedPipe(const PipeTarget &target, DWORD waitMs, DWORD flags, HANDLE &pipe, ServerProcess &server) {
    if (!openPipeClient(target.pipeName, waitMs, flags, pipe)) return PipeFound::Nothing;
    server = serverOf(pipe);
    if (isTrustedAgent(server, target.agentProgram)) return PipeFound::Agent;
    CloseHandle(pipe);
    pipe = INVALID_HANDLE_VALUE;
    return PipeFound::Impostor;
}

ServerProcess pipeHolder(const std::string &pipeName, DWORD waitMs) {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    if (!openPipeClient(pipeName, waitMs, 0, pipe)) return ServerProcess();
    ServerProcess holder = serverOf(pipe);
    CloseHandle(pipe);
    return holder;
}
