#include "PipeServer.h"

#include "UserIdentity.h"

PipeServer serverOf(HANDLE pipe) {
    PipeServer server;
    if (pipeServerProcessId(pipe, server.processId)) server.program = processImage(server.processId);
    return server;
}

bool isTrustedAgent(const PipeServer &server, const std::string &agentProgram) {
    return server.processId != 0 && !server.program.empty() && sameFile(server.program, agentProgram) &&
           processUser(server.processId).sameAs(currentUser());
}
