// A named pipe of the agent, served from the portable core: each client
// gets a Connection of its own on the channel of the pipe it came by.
//
// Bounded work: a client costs a pipe instance and a small record while it
// waits; only a request being answered holds a thread. The completions of
// all clients of one pipe come to one I/O completion port and a few worker
// threads with small stacks take them, more (up to a limit) while some are
// busy with a long request, such as a confirmation or a key generation.
// Each pipe has its own limits, so that the key manager's pipe is reached
// however many clients hold the public one. A client whose request cannot
// be answered (memory ran out, say) loses its connection, and nobody else
// notices.
#ifndef GKEYAGENT_PIPESERVER_H
#define GKEYAGENT_PIPESERVER_H

#include "AgentContext.h"

#include <windows.h>

#include <mutex>
#include <string>

// Which pipe a server serves, and what its clients may ask.
struct PipeEndpoint {
    std::string name;
    agentcore::Channel channel;
};

struct PipeLimits {
    // Clients connected at once; one more waits until one leaves.
    unsigned connections;
    // Requests answered at once; more wait for a worker.
    unsigned workers;
};

class PipeServer {
public:
    PipeServer(AgentContext& context, const PipeEndpoint& endpoint, const PipeLimits& limits)
        : context_(context), endpoint_(endpoint), limits_(limits) {}
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // The pipe's first instance; false, with the system's error, when
    // another program serves that name already.
    bool claim();
    // Serves from now on, on threads of its own; the server must live as
    // long as the process.
    bool start();

    const PipeEndpoint& endpoint() const { return endpoint_; }

private:
    struct Client;

    HANDLE createInstance(bool first);
    bool listen(HANDLE instance);
    void listenAgain();
    void stopListening();
    bool startWorker();
    void work();
    bool leaveIfSpare();
    void serve(Client* client, BOOL ok, DWORD bytes);
    bool connected(Client& client, BOOL ok);
    bool received(Client& client, BOOL ok, DWORD bytes);
    bool identify(Client& client);
    bool readNext(Client& client);
    bool write(Client& client, const agentcore::Bytes& data);
    void close(Client* client);

    AgentContext& context_;
    const PipeEndpoint endpoint_;
    const PipeLimits limits_;
    HANDLE first_ = INVALID_HANDLE_VALUE;
    HANDLE port_ = nullptr;

    std::mutex mutex_;
    unsigned instances_ = 0;  // connected clients and the instance listening
    bool listening_ = false;
    bool creationFailed_ = false;  // logged once until an instance is made again
    unsigned workers_ = 0, idleWorkers_ = 0;
};

#endif
