// gagent-relay.exe: joins its standard input and output to the key agent's
// public pipe, so that programs that speak the agent protocol on a Unix
// socket (WSL 2, any Linux that can start Windows programs, through socat)
// reach the agent:
//   gagent-relay.exe [--pipe NAME]     NAME: \\.\pipe\X, //./pipe/X or X
// It sends nothing until Windows has shown that the gkeyagent.exe beside
// it, run by this user, serves the pipe, exactly as the agent library
// checks: whatever a client writes (a key, a passphrase) goes to the agent
// or nowhere.
#include <windows.h>

#include "AgentChannel.h"
#include "ModuleDirectory.h"
#include "PipeConflict.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Each direction holds at most one buffer: a side that does not read
// stops the other from writing rather than making the relay grow.
const DWORD kBufferSize = 16384;
// Every instance of the agent's pipe may be busy for a moment.
const DWORD kConnectWait = 5000;
// OpenSSH's clients stop writing only once they have read their answers;
// a client that shuts its sending half sooner gets this long for an answer
// still on its way.
const DWORD kLingerMs = 200;

struct Relay {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE in = INVALID_HANDLE_VALUE;
    HANDLE out = INVALID_HANDLE_VALUE;
};

void say(const std::string &message) {
    std::fprintf(stderr, "gagent-relay: %s\n", message.c_str());
    std::fflush(stderr);
}

// A bare name is a pipe's name; slashes are accepted for backslashes,
// which survive no shell and no socat command line.
std::string pipePath(std::string name) {
    for (char &c : name)
        if (c == '/') c = '\\';
    if (name.find('\\') == std::string::npos) name = "\\\\.\\pipe\\" + name;
    return name;
}

bool readOptions(int argc, char **argv, std::string &pipe) {
    pipe = AGENT_DEFAULT_PIPE;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pipe") != 0 || i + 1 >= argc || !argv[i + 1][0]) return false;
        pipe = pipePath(argv[++i]);
    }
    return true;
}

std::string agentBesideRelay() {
    char folder[MAX_PATH] = "";
    getModuleDirectory(folder);
    return folder[0] ? std::string(folder) + AGENT_PROGRAM_NAME : std::string();
}

// One overlapped transfer on the pipe, with the direction's own event:
// synchronous I/O on one handle would make a waiting read block the write.
bool pipeIo(HANDLE pipe, bool write, char *buffer, DWORD size, DWORD &done, HANDLE event) {
    OVERLAPPED io = {};
    io.hEvent = event;
    BOOL ok = write ? WriteFile(pipe, buffer, size, NULL, &io) : ReadFile(pipe, buffer, size, NULL, &io);
    if (!ok && GetLastError() != ERROR_IO_PENDING) return false;
    return GetOverlappedResult(pipe, &io, &done, TRUE) && done > 0;
}

bool writeAll(HANDLE file, const char *data, DWORD size) {
    for (DWORD done = 0; size > 0; data += done, size -= done)
        if (!WriteFile(file, data, size, &done, NULL) || done == 0) return false;
    return true;
}

// The agent's answers to the client, until either side ends.
DWORD WINAPI pipeToOutput(void *parameter) {
    const Relay &relay = *static_cast<const Relay *>(parameter);
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    static char buffer[kBufferSize];
    DWORD size = 0;
    while (event && pipeIo(relay.pipe, false, buffer, sizeof buffer, size, event) &&
           writeAll(relay.out, buffer, size)) {
    }
    // The agent closed the connection, or the client went: either ends
    // the relay, and the client sees the end of its input.
    ExitProcess(0);
}

// The client's requests to the agent, until the client stops writing.
bool inputToPipe(const Relay &relay) {
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!event) return false;
    static char buffer[kBufferSize];
    DWORD size = 0;
    while (ReadFile(relay.in, buffer, sizeof buffer, &size, NULL) && size > 0)
        for (DWORD sent = 0, done = 0; sent < size; sent += done)
            if (!pipeIo(relay.pipe, true, buffer + sent, size - sent, done, event)) return false;
    return true;
}

int refuse(const std::string &pipe, const ServerProcess &server, const std::string &agent) {
    say(pipe + " is held by " + holderDescription(server, kindOfHolder(server)) + ", not by the key agent " + agent +
        " of this user; nothing was sent");
    return 3;
}

}  // namespace

int main(int argc, char **argv) {
    std::string pipe;
    if (!readOptions(argc, argv, pipe)) {
        say("usage: gagent-relay.exe [--pipe NAME]");
        return 2;
    }
    Relay relay;
    PipeTarget target = {pipe, agentBesideRelay()};
    ServerProcess server;
    PipeFound found = openCheckedPipe(target, kConnectWait, FILE_FLAG_OVERLAPPED, relay.pipe, server);
    if (found == PipeFound::Impostor) return refuse(pipe, server, target.agentProgram);
    if (found != PipeFound::Agent) {
        say("no key agent answers on " + pipe + " (error " + std::to_string(GetLastError()) + ")");
        return 1;
    }
    relay.in = GetStdHandle(STD_INPUT_HANDLE);
    relay.out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE answers = CreateThread(NULL, 0, pipeToOutput, &relay, 0, NULL);
    if (!answers) return 1;
    bool clean = inputToPipe(relay);
    WaitForSingleObject(answers, kLingerMs);
    return clean ? 0 : 1;
}
