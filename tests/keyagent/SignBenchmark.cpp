// Signatures per second and their latency from one agent client: through
// a Windows named pipe (our agent, under Wine) or a Unix socket (OpenSSH's
// ssh-agent, or the core served natively), the same requests either way,
// one at a time, as ssh makes them. With the key type "round-trip" it
// times requests of a type no agent knows instead, which each answers with
// a bare failure: the pipe's cost without any crypto or key list, beside
// the signatures on the same agent.
//   sign-benchmark PIPE-OR-SOCKET KEY-TYPE|round-trip SECONDS [FLAGS]
#include "RequestTimes.h"
#include "Wire.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

using agentcore::Bytes;
using agentcore::WireReader;
using agentcore::WireWriter;

namespace {

#ifdef _WIN32
HANDLE g_pipe;
bool openAgent(const std::string& name) {
    g_pipe = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return g_pipe != INVALID_HANDLE_VALUE;
}
bool writeAll(const std::uint8_t* p, std::size_t n) {
    DWORD w;
    return WriteFile(g_pipe, p, DWORD(n), &w, nullptr) && w == n;
}
bool readAll(std::uint8_t* p, std::size_t n) {
    while (n) {
        DWORD r = 0;
        if (!ReadFile(g_pipe, p, DWORD(n), &r, nullptr) || r == 0) return false;
        p += r, n -= r;
    }
    return true;
}
#else
int g_fd = -1;
bool openAgent(const std::string& path) {
    g_fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    return g_fd >= 0 && connect(g_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}
bool writeAll(const std::uint8_t* p, std::size_t n) {
    while (n) {
        ssize_t w = write(g_fd, p, n);
        if (w <= 0) return false;
        p += w, n -= std::size_t(w);
    }
    return true;
}
bool readAll(std::uint8_t* p, std::size_t n) {
    while (n) {
        ssize_t r = read(g_fd, p, n);
        if (r <= 0) return false;
        p += r, n -= std::size_t(r);
    }
    return true;
}
#endif

bool call(const Bytes& message, Bytes& answer) {
    WireWriter w;
    w.string(message);
    if (!writeAll(w.bytes().data(), w.bytes().size())) return false;
    std::uint8_t len[4];
    if (!readAll(len, 4)) return false;
    std::uint32_t n = (std::uint32_t(len[0]) << 24) | (len[1] << 16) | (len[2] << 8) | len[3];
    answer.resize(n);
    return n == 0 || readAll(answer.data(), n);
}

// The blob of the first key of that type the agent lists.
bool findKey(const std::string& keyType, Bytes& chosen) {
    Bytes answer;
    if (!call(Bytes{11}, answer)) return false;
    WireReader r(answer);
    std::uint8_t type;
    std::uint32_t count;
    Bytes blob;
    std::string comment;
    if (!r.u8(type) || type != 12 || !r.u32(count)) return false;
    for (std::uint32_t i = 0; i < count && r.string(blob) && r.text(comment); ++i) {
        WireReader b(blob);
        std::string name;
        if (b.text(name) && name == keyType) {
            chosen = blob;
            return true;
        }
    }
    return false;
}

Bytes signRequest(const Bytes& blob, std::uint32_t flags) {
    WireWriter req;
    req.u8(13);
    req.string(blob);
    req.string(Bytes(32, 0x5a));  // the size of a session hash
    req.u32(flags);
    return req.take();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: sign-benchmark PIPE-OR-SOCKET KEY-TYPE|round-trip SECONDS [FLAGS]\n");
        return 2;
    }
    std::string keyType = argv[2];
    double seconds = std::atof(argv[3]);
    std::uint32_t flags = argc > 4 ? std::uint32_t(std::atoi(argv[4])) : 0;
    if (!openAgent(argv[1])) {
        std::fprintf(stderr, "cannot reach the agent at %s\n", argv[1]);
        return 1;
    }
    const std::uint8_t kUnassignedType = 240;
    Bytes request{kUnassignedType};
    std::uint8_t expected = 5;  // SSH_AGENT_FAILURE
    if (keyType != "round-trip") {
        Bytes blob;
        if (!findKey(keyType, blob)) {
            std::fprintf(stderr, "the agent holds no %s key\n", keyType.c_str());
            return 1;
        }
        request = signRequest(blob, flags);
        expected = 14;
    }
    RequestTimes times;
    Bytes answer;
    if (!times.run(seconds, [&] { return call(request, answer) && !answer.empty() && answer[0] == expected; })) {
        std::fprintf(stderr, "a request failed\n");
        return 1;
    }
    times.print();
    return 0;
}
