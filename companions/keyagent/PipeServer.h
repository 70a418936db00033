// A named pipe of the agent, served from the portable core: each client
// gets a Connection of its own on the channel of the pipe it came by.
#ifndef GKEYAGENT_PIPESERVER_H
#define GKEYAGENT_PIPESERVER_H

#include "AgentContext.h"

#include <windows.h>

#include <string>

// Which pipe a server serves, and what its clients may ask.
struct PipeEndpoint {
    std::string name;
    agentcore::Channel channel;
};

class PipeServer {
public:
    PipeServer(AgentContext& context, const PipeEndpoint& endpoint) : context_(context), endpoint_(endpoint) {}
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
    HANDLE createInstance(bool first);
    void listen();
    void serve(HANDLE pipe);
    bool clientIsThisUser(HANDLE pipe, DWORD& processId);

    AgentContext& context_;
    PipeEndpoint endpoint_;
    HANDLE first_ = INVALID_HANDLE_VALUE;
};

#endif
