#include "AgentPipe.h"

#include "Protocol.h"

using agentcore::Bytes;

namespace {


bool openPipeHandle(const std::string& pipeName, DWORD waitMs, DWORD flags, HANDLE& out) {
    DWORD start = GetTickCount();
    for (;;) {
        out = CreateFileA(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, flags, NULL);
        if (out != INVALID_HANDLE_VALUE) return true;
        // Busy: every instance is taken for the moment. Anything else
        // means no agent serves the pipe.
        if (GetLastError() != ERROR_PIPE_BUSY || GetTickCount() - start >= waitMs) return false;
        WaitNamedPipeA(pipeName.c_str(), 50);
    }
}

void putLength(Bytes& frame, std::size_t size) {
    for (int shift = 24; shift >= 0; shift -= 8) frame.push_back(std::uint8_t(size >> shift));
}

std::uint32_t lengthOf(const std::uint8_t* b) {
    return (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) | (std::uint32_t(b[2]) << 8) | b[3];
}

Bytes framed(const Bytes& request) {
    Bytes frame;
    frame.reserve(4 + request.size());
    putLength(frame, request.size());
    frame.insert(frame.end(), request.begin(), request.end());
    return frame;
}

}  // namespace

bool AgentPipe::open(const std::string& pipeName, DWORD waitMs) {
    close();
    if (!ioDone) ioDone = CreateEventA(NULL, TRUE, FALSE, NULL);
    return ioDone && openPipeHandle(pipeName, waitMs, FILE_FLAG_OVERLAPPED, pipe);
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
    if (!isOpen()) return false;
    Bytes frame = framed(request);
    std::uint8_t prefix[4];
    bool ok = transfer(&frame[0], DWORD(frame.size()), true, timeoutMs) && transfer(prefix, 4, false, timeoutMs);
    agentcore::wipe(frame);
    std::uint32_t size = ok ? lengthOf(prefix) : 0;
    ok = ok && size > 0 && size <= agentcore::kMaxMessage;
    if (ok) {
        reply.assign(size, 0);
        ok = transfer(&reply[0], size, false, timeoutMs);
    }
    if (!ok) close();
    return ok;
}

HANDLE openBlockingPipe(const std::string& pipeName, DWORD waitMs) {
    HANDLE pipe;
    return openPipeHandle(pipeName, waitMs, 0, pipe) ? pipe : INVALID_HANDLE_VALUE;
}

bool blockingTransact(HANDLE pipe, const Bytes& request, Bytes& reply) {
    Bytes frame = framed(request);
    DWORD done = 0;
    std::uint8_t prefix[4];
    if (!WriteFile(pipe, &frame[0], DWORD(frame.size()), &done, NULL) || done != frame.size()) return false;
    for (DWORD got = 0; got < 4; got += done)
        if (!ReadFile(pipe, prefix + got, 4 - got, &done, NULL) || done == 0) return false;
    std::uint32_t size = lengthOf(prefix);
    if (size == 0 || size > reply.capacity()) return false;
    reply.resize(size);
    for (DWORD got = 0; got < size; got += done)
        if (!ReadFile(pipe, &reply[got], size - got, &done, NULL) || done == 0) return false;
    return true;
}
