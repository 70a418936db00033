// One connection to the agent's named pipe: whole requests out, whole
// answers back, every wait bounded so that a hung agent cannot hang the
// key manager's window.
#ifndef OPENSSH_AGENTPIPE_H
#define OPENSSH_AGENTPIPE_H

#include <windows.h>

#include "Bytes.h"

#include <string>

class AgentPipe {
public:
    AgentPipe() {}
    ~AgentPipe() { close(); }

    // Connects when the pipe exists, waiting at most waitMs for a free
    // instance; false when no agent serves it.
    bool open(const std::string& pipeName, DWORD waitMs);
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
HANDLE openBlockingPipe(const std::string& pipeName, DWORD waitMs);

// Sends request and reads one answer into reply, whose capacity must be
// reserved before (no allocation while waiting).
bool blockingTransact(HANDLE pipe, const agentcore::Bytes& request, agentcore::Bytes& reply);

#endif
