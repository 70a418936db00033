#include "AgentPipe.h"

#include "Protocol.h"

using agentcore::Bytes;

namespace {

// The length goes out from the stack and the request from where it is: no
// framed copy of a passphrase is made on the heap.
void putLength(std::uint8_t (&prefix)[4], std::size_t size) {
    for (int i = 0; i < 4; ++i) prefix[i] = std::uint8_t(size >> (24 - 8 * i));
}

std::uint32_t lengthOf(const std::uint8_t* b) {
    return (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) | (std::uint32_t(b[2]) << 8) | b[3];
}

bool writeAll(HANDLE pipe, const std::uint8_t* data, DWORD size) {
    for (DWORD done = 0; size > 0; data += done, size -= done)
        if (!WriteFile(pipe, data, size, &done, NULL) || done == 0) return false;
    return true;
}

bool readAll(HANDLE pipe, std::uint8_t* data, DWORD size) {
    for (DWORD done = 0; size > 0; data += done, size -= done)
        if (!ReadFile(pipe, data, size, &done, NULL) || done == 0) return false;
    return true;
}

}  // namespace

PipeFound AgentPipe::open(const PipeTarget& target, DWORD waitMs, ServerProcess& server) {
    close();
    if (!ioDone) ioDone = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!ioDone) return PipeFound::Nothing;
    return openCheckedPipe(target, waitMs, FILE_FLAG_OVERLAPPED, pipe, server);
}

void AgentPipe::close() {
    if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
    pipe = INVALID_HANDLE_VALUE;
}

bool AgentPipe::transfer(void* data, DWORD size, bool write, DWORD timeoutMs) {
    BYTE* at = static_cast<BYTE*>(data);
    while (size > 0) {
        OVERLAPPED io = {};
        io.hEvent = ioDone;
        ResetEvent(ioDone);
        DWORD done = 0;
        BOOL ok = write ? WriteFile(pipe, at, size, &done, &io) : ReadFile(pipe, at, size, &done, &io);
        if (!ok && GetLastError() != ERROR_IO_PENDING) return false;
        if (WaitForSingleObject(ioDone, timeoutMs) != WAIT_OBJECT_0) {
            CancelIo(pipe);
            GetOverlappedResult(pipe, &io, &done, TRUE);
            return false;
        }
        if (!GetOverlappedResult(pipe, &io, &done, FALSE) || done == 0) return false;
        at += done;
        size -= done;
    }
    return true;
}

bool AgentPipe::transact(const Bytes& request, Bytes& reply, DWORD timeoutMs) {
    if (!isOpen() || request.empty() || request.size() > agentcore::kMaxMessage) return false;
    std::uint8_t prefix[4];
    putLength(prefix, request.size());
    bool ok = transfer(prefix, 4, true, timeoutMs) &&
              transfer(const_cast<std::uint8_t*>(request.data()), DWORD(request.size()), true, timeoutMs) &&
              transfer(prefix, 4, false, timeoutMs);
    std::uint32_t size = ok ? lengthOf(prefix) : 0;
    ok = ok && size > 0 && size <= agentcore::kMaxMessage;
    if (ok) {
        reply.assign(size, 0);
        ok = transfer(&reply[0], size, false, timeoutMs);
    }
    if (!ok) close();
    return ok;
}

PipeFound openBlockingPipe(const PipeTarget& target, DWORD waitMs, HANDLE& pipe, ServerProcess& server) {
    return openCheckedPipe(target, waitMs, 0, pipe, server);
}

bool blockingTransact(HANDLE pipe, const Bytes& request, Bytes& reply) {
    if (request.empty() || request.size() > agentcore::kMaxMessage) return false;
    std::uint8_t prefix[4];
    putLength(prefix, request.size());
    if (!writeAll(pipe, prefix, 4) || !writeAll(pipe, request.data(), DWORD(request.size()))) return false;
    if (!readAll(pipe, prefix, 4)) return false;
    std::uint32_t size = lengthOf(prefix);
    if (size == 0 || size > reply.capacity()) return false;
    reply.resize(size);
    return readAll(pipe, &reply[0], size);
}
