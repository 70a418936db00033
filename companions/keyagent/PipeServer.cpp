#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // named pipe client identity and remote-client rejection
#include "PipeServer.h"

#include "AgentLog.h"

using namespace agentcore;

namespace {

const DWORD kBufferSize = 64 * 1024;

bool writeAll(HANDLE pipe, const Bytes& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        DWORD n = 0;
        if (!WriteFile(pipe, data.data() + done, DWORD(data.size() - done), &n, nullptr) || n == 0) return false;
        done += n;
    }
    return true;
}

struct ClientStart {
    PipeServer* server;
    HANDLE pipe;
};

}  // namespace

HANDLE PipeServer::createInstance(bool first) {
    DWORD openMode = PIPE_ACCESS_DUPLEX | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    return CreateNamedPipeA(endpoint_.name.c_str(), openMode,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                            PIPE_UNLIMITED_INSTANCES, kBufferSize, kBufferSize, 0, context_.security.ownerOnly());
}

bool PipeServer::claim() {
    first_ = createInstance(true);
    return first_ != INVALID_HANDLE_VALUE;
}

bool PipeServer::start() {
    struct Thread {
        static DWORD WINAPI run(void* server) {
            static_cast<PipeServer*>(server)->listen();
            return 0;
        }
    };
    HANDLE thread = CreateThread(nullptr, 0, Thread::run, this, 0, nullptr);
    if (thread) CloseHandle(thread);
    return thread != nullptr;
}

// The DACL keeps other users out already; this also refuses a client whose
// identity cannot be established at all. Its process is only named (the
// log, the confirm prompt), never asked who it runs as.
bool PipeServer::clientIsThisUser(HANDLE pipe, DWORD& pid) {
    if (!GetNamedPipeClientProcessId(pipe, &pid)) pid = 0;
    return pipeClientUser(pipe).sameAs(context_.security.user());
}

void PipeServer::serve(HANDLE pipe) {
    DWORD pid = 0;
    if (clientIsThisUser(pipe, pid)) {
        Connection connection(context_.handler);
        connection.session().clientProcess = pid;
        connection.session().channel = endpoint_.channel;
        connection.session().clientGone = [pipe] {
            DWORD available = 0;
            return !PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr);
        };
        Bytes buffer(16 * 1024);
        for (;;) {
            DWORD n = 0;
            if (!ReadFile(pipe, buffer.data(), DWORD(buffer.size()), &n, nullptr) || n == 0) break;
            Bytes out;
            bool open = connection.receive(buffer.data(), n, out);
            if (!out.empty() && !writeAll(pipe, out)) break;
            if (!open) {
                // The failure must reach the client before the pipe goes.
                FlushFileBuffers(pipe);
                break;
            }
        }
        wipe(buffer);
    } else {
        logLine("refused a pipe client of another user or unknown identity (process " + std::to_string(pid) + ")");
    }
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
}

void PipeServer::listen() {
    struct Thread {
        static DWORD WINAPI run(void* param) {
            ClientStart start = *static_cast<ClientStart*>(param);
            delete static_cast<ClientStart*>(param);
            start.server->serve(start.pipe);
            return 0;
        }
    };
    HANDLE pipe = first_;
    for (;;) {
        BOOL connected = ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        HANDLE next = createInstance(false);
        ClientStart* client = connected ? new ClientStart{this, pipe} : nullptr;
        HANDLE thread = client ? CreateThread(nullptr, 0, Thread::run, client, 0, nullptr) : nullptr;
        if (thread) {
            CloseHandle(thread);
        } else {
            delete client;
            CloseHandle(pipe);
        }
        if (next == INVALID_HANDLE_VALUE) {
            logLine("cannot create another instance of " + endpoint_.name + " (error " + std::to_string(GetLastError()) + ")");
            Sleep(1000);
            next = createInstance(false);
            if (next == INVALID_HANDLE_VALUE) continue;
        }
        pipe = next;
    }
}
