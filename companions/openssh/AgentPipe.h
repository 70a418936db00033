// One connection to the agent's named pipe: whole requests out, whole
// answers back, every wait bounded so that a hung agent cannot hang the
// key manager's window. Every connection is opened for identification only
// (the server may learn who the user is, not act as the user) and is kept
// only when the agent program beside the library serves it.
#ifndef OPENSSH_AGENTPIPE_H
#define OPENSSH_AGENTPIPE_H

#include <windows.h>

#include "Bytes.h"
#include "PipeCheck.h"

class AgentPipe {
public:
    AgentPipe() {}
    ~AgentPipe() { close(); }

    // Connects when the pipe exists, waiting at most waitMs for a free
    // instance. `server` tells who served it, for an impostor's report.
    PipeFound open(const PipeTarget& target, DWORD waitMs, ServerProcess& server);
    void close();
    bool isOpen() const { return pipe != INVALID_HANDLE_VALUE; }

    // request without its length prefix; reply the answer without its
    // prefix. A failure closes the connection.
    bool transact(const agentcore::Bytes& request, agentcore::Bytes& reply, DWORD timeoutMs);

private:
    AgentPipe(const AgentPipe&);
    AgentPipe& operator=(const AgentPipe&);
    bool transfer(void* data, DWORD size, bool write, DWORD timeoutMs);

    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE ioDone = NULL;
};

// A plain blocking connection for the one request whose caller may be cut
// off while it waits (key generation): between sending and the answer it
// touches nothing but the pipe, so a thread ended there leaves no lock of
// the process held. The handle is the caller's to close.
PipeFound openBlockingPipe(const PipeTarget& target, DWORD waitMs, HANDLE& pipe, ServerProcess& server);

// Sends request and reads one answer into reply, whose capacity must be
// reserved before (no allocation while waiting).
bool blockingTransact(HANDLE pipe, const agentcore::Bytes& request, agentcore::Bytes& reply);

#endif
