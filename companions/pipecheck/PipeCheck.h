// Who is at the other end of an agent pipe. The agent's pipes carry the
// user's keys and passphrases, and a pipe's name proves nothing: any program
// that comes first may hold it. So before anything is written a client asks
// Windows which process serves the connection and trusts it only when it
// runs as this user from the agent program it expects. The agent library
// and the relay connect through here; the agent itself uses it to name
// the program that holds its pipe.
#ifndef PIPECHECK_PIPECHECK_H
#define PIPECHECK_PIPECHECK_H

#include <windows.h>

#include <string>

// The process serving a pipe.
struct ServerProcess {
    DWORD processId = 0;  // 0: unknown
    std::string program;  // its program file; empty: unknown
};

// What an attempt to connect found.
enum class PipeFound {
    Agent,     // connected, to the agent
    Nothing,   // no server, or every instance busy for the whole wait
    Impostor,  // another program serves the pipe; the connection is closed
};

// Where to connect and whom to accept there.
struct PipeTarget {
    std::string pipeName;
    std::string agentProgram;  // the full path of the gkeyagent.exe to trust
};

// The server of `pipe`, as far as Windows tells it.
ServerProcess serverOf(HANDLE pipe);

// Whether `server` is the program `agentProgram`, run by the user this
// process runs as. Anything unknown is refused.
bool isTrustedAgent(const ServerProcess &server, const std::string &agentProgram);

// Opens a client end of the pipe for identification only (the server may
// learn who the user is, not act as the user), waiting at most waitMs for
// a free instance. `flags` adds FILE_FLAG_OVERLAPPED where wanted.
bool openPipeClient(const std::string &pipeName, DWORD waitMs, DWORD flags, HANDLE &pipe);

// Connects and keeps the connection only when target's agent serves it;
// `server` tells who did, for an impostor's report. Nothing has been
// written when this returns.
PipeFound openCheckedPipe(const PipeTarget &target, DWORD waitMs, DWORD flags, HANDLE &pipe, ServerProcess &server);

// The program holding a pipe name, found through a client connection that
// is closed again at once without a byte sent. Unknown (processId 0) when
// no instance could be opened within waitMs or Windows cannot tell.
ServerProcess pipeHolder(const std::string &pipeName, DWORD waitMs);

#endif
