#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // named pipe client identity and remote-client rejection
#include "PipeServer.h"

#include "AgentLog.h"

using namespace agentcore;

namespace {

// Advisory sizes; a longer message passes in several reads.
const DWORD kPipeBufferSize = 16 * 1024;
const DWORD kReadSize = 8 * 1024;
// Reserved, not committed: a thread takes only what it touches, and the
// deepest request (a generation of RSA-16384 in libgcrypt) stays far
// below this.
const SIZE_T kWorkerStack = 512 * 1024;
// Idle workers wake this often: to make a pipe instance that could not be
// made before, and to let a spare worker go after a while.
const DWORD kWakeEveryMs = 1000;
const unsigned kIdleWakesBeforeLeaving = 30;
// A client that takes no answer for this long is let go: it must not hold
// a worker for ever.
const DWORD kWriteTimeoutMs = 30000;

// For the paths where memory may have run out: the log line is worth
// trying, not worth another failure.
void logQuietly(const char* what, const std::string& pipe) {
    try {
        logLine(std::string(what) + " " + pipe);
    } catch (...) {
    }
}

}  // namespace

struct PipeServer::Client {
    // What the completion port hands back: its OVERLAPPED comes first, so
    // that the address of one is the address of the other.
    struct Io {
        OVERLAPPED overlapped;
        Client* client;
    } io;
    HANDLE pipe;
    HANDLE written = nullptr;  // a write's completion, waited for by its worker
    bool connected = false;
    bool identified = false;
    Connection connection;
    Bytes buffer;

    Client(RequestHandler& handler, HANDLE instance) : io(), pipe(instance), connection(handler), buffer(kReadSize) {
        io.client = this;
    }
    // The pipe is closed, not disconnected: a client still reading gets
    // what was written to it, then the pipe's end.
    ~Client() {
        if (written) CloseHandle(written);
        CloseHandle(pipe);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
};

HANDLE PipeServer::createInstance(bool first) {
    DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    return CreateNamedPipeA(endpoint_.name.c_str(), openMode,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                            PIPE_UNLIMITED_INSTANCES, kPipeBufferSize, kPipeBufferSize, 0, context_.security.ownerOnly());
}

bool PipeServer::claim() {
    first_ = createInstance(true);
    return first_ != INVALID_HANDLE_VALUE;
}

bool PipeServer::start() {
    port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    if (!port_ || first_ == INVALID_HANDLE_VALUE) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        instances_ = 1;
        listening_ = true;
        workers_ = idleWorkers_ = 1;
    }
    HANDLE first = first_;
    first_ = INVALID_HANDLE_VALUE;
    return listen(first) && startWorker();
}

bool PipeServer::startWorker() {
    struct Thread {
        static DWORD WINAPI run(void* server) {
            static_cast<PipeServer*>(server)->work();
            return 0;
        }
    };
    HANDLE thread = CreateThread(nullptr, kWorkerStack, Thread::run, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread) CloseHandle(thread);
    return thread != nullptr;
}

// Waits for the next client on an instance already counted as listening;
// false (and counted no more) when it cannot.
bool PipeServer::listen(HANDLE instance) {
    Client* client = nullptr;
    try {
        client = new Client(context_.handler, instance);
    } catch (...) {
        CloseHandle(instance);
        stopListening();
        return false;
    }
    if (CreateIoCompletionPort(instance, port_, 0, 0)) {
        if (ConnectNamedPipe(instance, &client->io.overlapped)) return true;
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) return true;
        // Connected before it was asked: the port hears of it from us.
        if (error == ERROR_PIPE_CONNECTED && PostQueuedCompletionStatus(port_, 0, 0, &client->io.overlapped)) return true;
    }
    delete client;
    stopListening();
    return false;
}

void PipeServer::stopListening() {
    std::lock_guard<std::mutex> lock(mutex_);
    listening_ = false;
    --instances_;
}

// An instance for the next client, unless one waits already or the pipe is
// full. One that cannot be made is tried again at the next wake.
void PipeServer::listenAgain() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (listening_ || instances_ >= limits_.connections) return;
        listening_ = true;
        ++instances_;
    }
    HANDLE instance = createInstance(false);
    bool failed = instance == INVALID_HANDLE_VALUE;
    bool tell;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tell = failed && !creationFailed_;
        creationFailed_ = failed;
    }
    if (tell) logQuietly("cannot create another instance (trying again every second) of", endpoint_.name);
    if (failed)
        stopListening();
    else
        listen(instance);
}

void PipeServer::work() {
    unsigned idleWakes = 0;
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        BOOL ok = GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, kWakeEveryMs);
        if (!overlapped) {
            listenAgain();
            if (++idleWakes >= kIdleWakesBeforeLeaving && leaveIfSpare()) return;
            continue;
        }
        idleWakes = 0;
        // The request may take long: another worker takes the next one.
        bool another;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --idleWorkers_;
            another = idleWorkers_ == 0 && workers_ < limits_.workers;
            if (another) ++workers_, ++idleWorkers_;
        }
        if (another && !startWorker()) {
            std::lock_guard<std::mutex> lock(mutex_);
            --workers_, --idleWorkers_;
        }
        serve(reinterpret_cast<Client::Io*>(overlapped)->client, ok, bytes);
        std::lock_guard<std::mutex> lock(mutex_);
        ++idleWorkers_;
    }
}

// One worker stays waiting whatever happens.
bool PipeServer::leaveIfSpare() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (idleWorkers_ < 2) return false;
    --workers_, --idleWorkers_;
    return true;
}

void PipeServer::serve(Client* client, BOOL ok, DWORD bytes) {
    bool keep = false;
    try {
        keep = client->connected ? received(*client, ok, bytes) : connected(*client, ok);
    } catch (...) {
        logQuietly("let a client go whose request could not be answered (out of memory?) on", endpoint_.name);
    }
    if (!keep) close(client);
}

bool PipeServer::connected(Client& client, BOOL ok) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listening_ = false;
    }
    listenAgain();
    client.connected = true;
    return ok && readNext(client);
}

bool PipeServer::received(Client& client, BOOL ok, DWORD bytes) {
    if (!ok || bytes == 0) return false;
    // Windows lends the client's identity only once it has been read from.
    if (!client.identified && !identify(client)) return false;
    Bytes out;
    bool open = client.connection.receive(client.buffer.data(), bytes, out);
    wipeMemory(client.buffer.data(), bytes);
    if (!out.empty() && !write(client, out)) return false;
    // A connection that ends still has its last answer read by the client.
    return open && readNext(client);
}

// The DACL keeps other users out already; this also refuses a client whose
// identity cannot be established at all. Its process is only named (the
// log, the confirm prompt), never asked who it runs as.
bool PipeServer::identify(Client& client) {
    DWORD processId = 0;
    if (!GetNamedPipeClientProcessId(client.pipe, &processId)) processId = 0;
    if (!pipeClientUser(client.pipe).sameAs(context_.security.user())) {
        logLine("refused a pipe client of another user or unknown identity (process " + std::to_string(processId) + ")");
        return false;
    }
    client.written = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!client.written) return false;
    Session& session = client.connection.session();
    session.clientProcess = processId;
    if (processId) session.clientProgram = programOfProcess(processId);
    session.channel = endpoint_.channel;
    HANDLE pipe = client.pipe;
    session.clientGone = [pipe] {
        DWORD available = 0;
        return !PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr);
    };
    client.identified = true;
    return true;
}

bool PipeServer::readNext(Client& client) {
    client.io.overlapped = OVERLAPPED();
    if (ReadFile(client.pipe, client.buffer.data(), DWORD(client.buffer.size()), nullptr, &client.io.overlapped))
        return true;  // the port hears of it all the same
    return GetLastError() == ERROR_IO_PENDING;
}

// The whole answer, or false when the client does not take it in time.
bool PipeServer::write(Client& client, const Bytes& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        OVERLAPPED overlapped = OVERLAPPED();
        // The low bit keeps this completion from the port: this thread
        // waits for it here.
        overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<UINT_PTR>(client.written) | 1);
        ResetEvent(client.written);
        DWORD n = 0;
        if (!WriteFile(client.pipe, data.data() + done, DWORD(data.size() - done), nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING)
            return false;
        if (WaitForSingleObject(client.written, kWriteTimeoutMs) != WAIT_OBJECT_0) {
            CancelIo(client.pipe);
            GetOverlappedResult(client.pipe, &overlapped, &n, TRUE);
            return false;
        }
        if (!GetOverlappedResult(client.pipe, &overlapped, &n, FALSE) || n == 0) return false;
        done += n;
    }
    return true;
}

void PipeServer::close(Client* client) {
    delete client;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --instances_;
    }
    listenAgain();
}
