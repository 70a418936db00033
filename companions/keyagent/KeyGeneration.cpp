#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // GetProcessIdOfThread
#include "KeyGeneration.h"

#include "ClientPath.h"
#include "KeyFile.h"

#include <atomic>
#include <cstdio>
#include <string>

using namespace agentcore;

namespace {

const char* const kGone = "discarded, the caller went away before the key was in place";

struct Request {
    std::string path;
    std::string folder;  // with its separator, so that a drive's root works too
    std::string name;
    KeyKind kind = KeyKind::Ed25519;
    unsigned bits = 0;
};

const char* kindName(KeyKind kind) {
    switch (kind) {
    case KeyKind::Ed25519:
        return "ed25519";
    case KeyKind::Rsa:
        return "rsa";
    case KeyKind::Ecdsa:
        break;
    }
    return "ecdsa";
}

// Folder and name of a path that clientPathRefusal let through, which
// therefore holds a separator.
bool splitPath(Request& r) {
    std::size_t separator = r.path.find_last_of("\\/");
    r.folder = r.path.substr(0, separator + 1);
    r.name = r.path.substr(separator + 1);
    return !r.name.empty();
}

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool writeAll(HANDLE file, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        DWORD n = 0;
        if (!WriteFile(file, data, DWORD(size), &n, nullptr) || n == 0) return false;
        data += n, size -= n;
    }
    return FlushFileBuffers(file) != 0;
}

// The private key file and its ".pub": each is written under a temporary
// name in the key's own folder (so that putting it in place is a rename,
// which never replaces a file) and removed again unless kept.
class KeyFiles {
public:
    KeyFiles(const std::string& path, SECURITY_ATTRIBUTES* ownerOnly) : ownerOnly_(ownerOnly) {
        final_[0] = path;
        final_[1] = path + ".pub";
    }
    ~KeyFiles() {
        discardTemporaries();
        for (int i = 0; i < 2; ++i)
            if (placed_[i] && !kept_) DeleteFileA(final_[i].c_str());
    }

    // Both temporaries, empty. Made once before anything is generated, so
    // that a folder that cannot be written is known at once, not after
    // minutes of work, and discarded again: a generation the caller gave up
    // may run on for minutes, and an agent that ends meanwhile must not
    // leave files of it behind.
    bool create(const std::string& folder) { return createTemporary(0, folder) && createTemporary(1, folder); }

    void discardTemporaries() {
        for (int i = 0; i < 2; ++i) {
            close(i);
            if (!temporary_[i].empty()) DeleteFileA(temporary_[i].c_str());
            temporary_[i].clear();
        }
    }

    bool write(const Bytes& privateFile, const std::string& publicLine) {
        bool ok = writeAll(handle_[0], privateFile.data(), privateFile.size()) &&
                  writeAll(handle_[1], reinterpret_cast<const std::uint8_t*>(publicLine.data()), publicLine.size());
        close(0);
        close(1);
        return ok;
    }

    // Without MOVEFILE_REPLACE_EXISTING: a file that appeared meanwhile
    // stays as it is, and the generation fails.
    bool moveIntoPlace() {
        for (int i = 0; i < 2; ++i) {
            if (!MoveFileExA(temporary_[i].c_str(), final_[i].c_str(), MOVEFILE_WRITE_THROUGH)) return false;
            temporary_[i].clear();
            placed_[i] = true;
        }
        return true;
    }

    void keep() { kept_ = true; }

private:
    bool createTemporary(int i, const std::string& folder) {
        static std::atomic<unsigned> counter{0};
        for (int attempt = 0; attempt < 8; ++attempt) {
            char name[40];
            std::snprintf(name, sizeof name, "~gk%lx-%x.tmp", GetCurrentThreadId(), ++counter);
            std::string path = folder + name;
            // The user-only DACL from the file's first moment: the key is
            // never readable by anyone else, not even before it is written.
            handle_[i] = CreateFileA(path.c_str(), GENERIC_WRITE, 0, ownerOnly_, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle_[i] != INVALID_HANDLE_VALUE) {
                temporary_[i] = path;
                return true;
            }
            if (GetLastError() != ERROR_FILE_EXISTS) return false;
        }
        return false;
    }
    void close(int i) {
        if (handle_[i] != INVALID_HANDLE_VALUE) CloseHandle(handle_[i]);
        handle_[i] = INVALID_HANDLE_VALUE;
    }

    SECURITY_ATTRIBUTES* ownerOnly_;
    std::string final_[2], temporary_[2];
    HANDLE handle_[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    bool placed_[2] = {false, false};
    bool kept_ = false;
};

// The thread of the client's process that asked; null when it cannot be
// opened or belongs to another process, which counts as gone.
HANDLE openCaller(DWORD threadId, const Session& session) {
    HANDLE thread = OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId);
    if (thread && session.clientProcess && GetProcessIdOfThread(thread) != DWORD(session.clientProcess)) {
        CloseHandle(thread);
        return nullptr;
    }
    return thread;
}

// A closed pipe alone cannot be relied on: the manager's process keeps the
// library's handle open after terminating the thread that used it.
bool callerGone(HANDLE thread, const Session& session) {
    if (WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) return true;
    return session.clientGone && session.clientGone();
}

class Generation {
public:
    Generation(KeyStore& store, SECURITY_ATTRIBUTES* ownerOnly, const Request& request, const Session& session)
        : store_(store), request_(request), session_(session), files_(request.path, ownerOnly) {}
    ~Generation() {
        if (thread_) CloseHandle(thread_);
    }

    // The outcome for the log; blob is set only when the key is in place
    // and held.
    const char* run(DWORD threadId, const AgentEvent& event, Bytes& blob) {
        thread_ = openCaller(threadId, session_);
        if (!thread_ || callerGone(thread_, session_)) return "refused, the calling thread is not there";
        // Known refusals before the work, not after; a locked agent looks
        // at no file at all.
        if (store_.locked()) return outcomeText(StoreResult::Locked);
        if (!store_.policies().allowAdd) return outcomeText(StoreResult::NotAllowed);
        if (exists(request_.path) || exists(request_.path + ".pub")) return "refused, the file or its .pub exists already";
        if (!files_.create(request_.folder)) return "refused, the folder does not exist or cannot be written";
        // An Ed25519 key is made at once: its files stay open for it. Any
        // other may take minutes, which no temporary file should outlive
        // if the agent ends meanwhile.
        bool madeAtOnce = request_.kind == KeyKind::Ed25519;
        if (!madeAtOnce) files_.discardTemporaries();
        // A large key takes minutes: the log says at once that work began.
        AgentEvent started = event;
        started.outcome = "started";
        store_.report(started);
        std::unique_ptr<PrivateKey> key;
        if (!generateKey(request_.kind, request_.bits, request_.name, key)) return "refused, no key of this type and size can be made";
        fingerprint_ = fingerprintSha256(key->pub.blob);
        if (callerGone(thread_, session_)) return kGone;
        if (!(madeAtOnce || files_.create(request_.folder)) ||
            !files_.write(openSshPrivateKeyFile(*key), publicKeyLine(key->pub, request_.name)))
            return "failed, the files could not be written";
        if (callerGone(thread_, session_)) return kGone;
        if (!files_.moveIntoPlace()) return "failed, the files could not be put in place (one appeared meanwhile?)";
        Bytes made = key->pub.blob;
        StoreResult added = store_.add(std::move(key));
        if (added != StoreResult::Ok) return outcomeText(added);
        files_.keep();
        blob.swap(made);
        return "done";
    }

    const std::string& fingerprint() const { return fingerprint_; }

private:
    KeyStore& store_;
    const Request& request_;
    const Session& session_;
    KeyFiles files_;
    HANDLE thread_ = nullptr;
    std::string fingerprint_;
};

// Runs on the client's own connection thread, which the generation may
// hold for minutes (RSA-16384); no lock of the store is held meanwhile.
bool generate(KeyStore& store, SECURITY_ATTRIBUTES* ownerOnly, WireReader& body, Session& session, WireWriter& reply) {
    Request request;
    std::uint32_t type, bits, threadId;
    if (!body.text(request.path) || !body.u32(type) || !body.u32(bits) || !body.u32(threadId) || !body.atEnd()) {
        body.fail();
        return false;
    }
    request.kind = type == 0 ? KeyKind::Ed25519 : type == 1 ? KeyKind::Rsa : KeyKind::Ecdsa;
    request.bits = bits;
    AgentEvent event = sessionEvent(std::string("generate ") + kindName(request.kind), session);
    if (request.kind != KeyKind::Ed25519) event.operation += " " + std::to_string(bits);
    Bytes blob;
    if (type > 2) {
        event.operation = "generate";
        event.outcome = "refused, a key type this agent does not make";
    } else if (const char* why = clientPathRefusal(request.path)) {
        event.outcome = why;
    } else if (!splitPath(request)) {
        event.outcome = "refused, not a whole path of a file";
    } else {
        event.keyName = request.name;
        Generation generation(store, ownerOnly, request, session);
        event.outcome = generation.run(DWORD(threadId), event, blob);
        event.fingerprint = generation.fingerprint();
    }
    store.report(event);
    if (blob.empty()) return false;
    reply.u8(SSH_AGENT_SUCCESS);
    reply.string(blob);
    return true;
}

}  // namespace

void addKeyGeneration(RequestHandler& handler, KeyStore& store, SECURITY_ATTRIBUTES* ownerOnly) {
    handler.addExtension(kGenerateKey, [&store, ownerOnly](WireReader& body, Session& session, WireWriter& reply) {
        return generate(store, ownerOnly, body, session, reply);
    });
}
