// The agent's core served natively on a Unix socket, for make benchmark:
// what the core itself costs per request beside OpenSSH's ssh-agent, with
// no pipe and no Wine in between. One thread per connection, as the
// agent's pipe server has.
//   core-on-socket SOCKET-PATH
#include "KeyStore.h"
#include "RequestHandler.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

using namespace agentcore;

namespace {

bool sendAll(int fd, const Bytes& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = write(fd, data.data() + sent, data.size() - sent);
        if (n <= 0) return false;
        sent += std::size_t(n);
    }
    return true;
}

void serve(RequestHandler& handler, int fd) {
    Connection connection(handler);
    std::uint8_t buffer[16384];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        Bytes out;
        bool open = connection.receive(buffer, std::size_t(n), out);
        if (!sendAll(fd, out) || !open) break;
    }
    close(fd);
}

int listenOn(const char* path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (fd < 0 || std::strlen(path) >= sizeof addr.sun_path) return -1;
    std::strcpy(addr.sun_path, path);
    unlink(path);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) return -1;
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: core-on-socket SOCKET-PATH\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    initCrypto();
    KeyStore store;
    RequestHandler handler(store);
    int listener = listenOn(argv[1]);
    if (listener < 0) {
        std::perror(argv[1]);
        return 1;
    }
    for (;;) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        std::thread(serve, std::ref(handler), client).detach();
    }
}
