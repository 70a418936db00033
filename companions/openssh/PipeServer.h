// Who is at the other end of a pipe the library opened. The agent's pipes
// carry the user's passphrases, and a pipe's name proves nothing: any
// program that comes first may serve it. So before anything is written the
// library asks Windows which process serves the connection and trusts it
// only when it runs as this user from the agent program beside the library.
#ifndef OPENSSH_PIPESERVER_H
#define OPENSSH_PIPESERVER_H

#include <windows.h>

#include <string>

struct PipeServer {
    DWORD processId = 0;  // 0: unknown
    std::string program;  // its program file; empty: unknown
};

// The server of `pipe`, as far as Windows tells it.
PipeServer serverOf(HANDLE pipe);

// Whether `server` is the program `agentProgram`, run by the user this
// process runs as. Anything unknown is refused.
bool isTrustedAgent(const PipeServer &server, const std::string &agentProgram);

#endif
